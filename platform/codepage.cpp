#include "platform/codepage.h"

#include <iconv.h>

namespace orvana::platform {
namespace {

// One iconv handle per direction and thread: a handle keeps state and is not to be shared.
class Converter {
  public:
    Converter(const char* to, const char* from, bool from_utf8)
        : cd_(iconv_open(to, from)), from_utf8_(from_utf8) {}
    ~Converter() {
        if (ok()) iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // Converts all of `in`; a sequence it cannot convert is skipped (at least one byte, or
    // the rest of a truncated sequence) and `replacement` stands for it.
    std::string Convert(std::string_view in, std::string_view replacement) {
        if (!ok()) return std::string(in);
        std::string out;
        out.reserve(in.size() * 2);
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        char* from = const_cast<char*>(in.data());
        size_t left = in.size();
        while (left > 0) {
            char buffer[256];
            char* to = buffer;
            size_t room = sizeof buffer;
            const size_t r = iconv(cd_, &from, &left, &to, &room);
            out.append(buffer, static_cast<size_t>(to - buffer));
            if (r == static_cast<size_t>(-1) && room == sizeof buffer) {
                out.append(replacement);
                ++from;
                --left;
                // Past the whole UTF-8 sequence, not into its middle.
                while (from_utf8_ && left > 0 &&
                       (static_cast<unsigned char>(*from) & 0xC0) == 0x80) {
                    ++from;
                    --left;
                }
            }
        }
        return out;
    }

  private:
    iconv_t cd_;
    const bool from_utf8_;
};

}  // namespace

std::string Cp1251ToUtf8(std::string_view bytes) {
    thread_local Converter converter("UTF-8", "CP1251", false);
    return converter.Convert(bytes, "\xEF\xBF\xBD");
}

std::string Utf8ToCp1251(std::string_view utf8) {
    thread_local Converter converter("CP1251", "UTF-8", true);
    return converter.Convert(utf8, "?");
}

}  // namespace orvana::platform
