#include "console/model/placement.h"

#include <algorithm>
#include <utility>

namespace orvana::console {

std::optional<Rect> RestoredPlacement(Rect saved, const Rect& work_area) {
    if (saved == Rect{}) return std::nullopt;
    if (saved.left > saved.right) std::swap(saved.left, saved.right);
    if (saved.top > saved.bottom) std::swap(saved.top, saved.bottom);
    const Rect cut{std::max(saved.left, work_area.left), std::max(saved.top, work_area.top),
                   std::min(saved.right, work_area.right),
                   std::min(saved.bottom, work_area.bottom)};
    if (cut.left >= cut.right || cut.top >= cut.bottom) return std::nullopt;
    return cut;
}

}  // namespace orvana::console
