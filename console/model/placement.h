#pragma once
// Where the main window opens: the rectangle saved at the last close, kept on the desktop.

#include <optional>

namespace orvana::console {

struct Rect {
    int left = 0, top = 0, right = 0, bottom = 0;
    bool operator==(const Rect&) const = default;
};

// The saved rectangle with reversed edges swapped, cut to `work_area`. Nullopt keeps the
// default position: nothing was saved (all zero), or nothing of it is on the desktop any more
// (a monitor since removed), where moving there would put the window out of sight.
std::optional<Rect> RestoredPlacement(Rect saved, const Rect& work_area);

}  // namespace orvana::console
