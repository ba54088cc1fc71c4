#include "script/state_codes.h"

#include <array>

namespace orvana::script {

std::string_view StateText(unsigned state) {
    // Operators' tools match these bytes, so the Cyrillic ones stay in code page 1251.
    static constexpr std::array<const char*, 21> kTexts = {
        "",
        "",
        "undeclared identifier",
        "\xed\xe5 \xe1\xfb\xeb\xee if",
        "\xed\xe5 \xe1\xfb\xeb\xee do",
        "\xed\xe5 \xe1\xfb\xeb\xee switch",
        "can't find enddo",
        "can't find endswitch",
        "\xed\xe5 \xee\xef\xe8\xf1\xe0\xed\xe0 \xef\xe5\xf0\xe5\xec\xe5\xed\xed\xe0\xff",
        "\xef\xe5\xf0\xe5 \xf1\xf2\xe5\xea",
        "stack overflow",
        "\xed\xe5 \xe1\xfb\xeb\xee \xf0\xe0\xe7\xe4\xe5\xeb\xe8\xf2\xe5\xeb\xff",
        "can't find else",
        "can't find endif",
        "can't find endproc",
        "can't find case",
        "redefinition identifier",
        "absent main prog",
        "unable place for proc",
        "too many steps",
        "script interrupted",
    };
    return state < kTexts.size() ? kTexts[state] : "";
}

}  // namespace orvana::script
