#pragma once
// What every receiver link shares: the interface text ("COM 3", "TCP 10.0.0.5") parsed into a
// kind and an address, the input modes the reader thread dispatches on, and the reply buffer
// that the command engine and the transfers read.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace orvana {

enum class LinkKind : int8_t { kCom = 0, kTcp = 1, kUsb = 2, kGate = 3, kModem = 4 };

// The kind word matched as a prefix in kind order; the address is the rest without leading
// blanks. False when no kind word matches.
bool ParseInterface(std::string_view text, LinkKind* kind, std::string* address);

// Which handler the reader thread feeds what it read to.
enum class InputMode : int32_t { kAppend = 0, kParse = 1, kReplace = 2 };

// A growable byte buffer, always zero-terminated after its content. Thread-safe: every
// operation takes lock(); callers that need several steps together take it themselves (it is
// recursive).
class ReplyBuffer {
  public:
    static constexpr size_t kInitialCapacity = 4096;

    ReplyBuffer();
    void Clear();
    // Replaces the content, growing like Append when it does not fit.
    void Assign(const void* data, size_t n);
    // Grows to length + n + 1024 when length + n + 1 would pass the capacity.
    void Append(const void* data, size_t n);
    // Overwrites bytes inside the content (the merged reply's length field).
    void Overwrite(size_t at, const char* data, size_t n);
    std::string Text() const;  // up to the first zero byte
    // Copies the first min(n, length) bytes of the content, zero bytes included; the count.
    size_t CopyTo(void* out, size_t n) const;
    size_t Length() const;
    size_t Capacity() const;
    std::recursive_mutex& lock() const { return mu_; }

  private:
    mutable std::recursive_mutex mu_;
    std::vector<char> storage_;  // capacity + 1 bytes; GUARDED_BY(mu_)
    size_t length_ = 0;          // GUARDED_BY(mu_)
};

}  // namespace orvana
