#include "console/model/view_settings.h"

#include "core/config_keys.h"
#include "core/config_store.h"

namespace orvana::console {

uint32_t ViewMaxLines(const ConfigStore& store) {
    uint32_t lines = store.ReadNumber(cfg::kActiveKey, cfg::kViewMaxLine.name, 0);
    if (lines == 0) {
        lines = cfg::kViewMaxLine.fallback;
        store.WriteNumber(cfg::kActiveKey, cfg::kViewMaxLine.name, lines);
    }
    return lines;
}

}  // namespace orvana::console
