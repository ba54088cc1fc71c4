// A .reg file an operator imports: any encoding the format allows, any line. The parse either
// refuses with a line number and a reason, or gives operations on keys under the hive.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/reg_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view content(reinterpret_cast<const char*>(data), size);
    const orvana::RegParseResult result = orvana::ParseRegFile(content);
    if (!result.ok && (result.error.empty() || result.error_line < 0)) std::abort();
    if (result.ok && !result.error.empty()) std::abort();
    return 0;
}
