#include "links/link.h"

#include <algorithm>
#include <cstring>

namespace orvana {

bool ParseInterface(std::string_view text, LinkKind* kind, std::string* address) {
    static constexpr std::string_view kWords[] = {"COM", "TCP", "USB", "GATE", "MODEM"};
    for (size_t i = 0; i < std::size(kWords); ++i) {
        if (text.substr(0, kWords[i].size()) != kWords[i]) continue;
        std::string_view rest = text.substr(kWords[i].size());
        while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
        *kind = static_cast<LinkKind>(i);
        *address = std::string(rest);
        return true;
    }
    return false;
}

ReplyBuffer::ReplyBuffer() : storage_(kInitialCapacity + 1, 0) {}

void ReplyBuffer::Clear() {
    std::lock_guard<std::recursive_mutex> g(mu_);
    std::fill(storage_.begin(), storage_.end(), 0);
    length_ = 0;
}

void ReplyBuffer::Assign(const void* data, size_t n) {
    std::lock_guard<std::recursive_mutex> g(mu_);
    // A whole reply can pass the first capacity (a 4095-byte body with its header): it grows
    // as merged replies do, never cut.
    if (n + 1 > storage_.size()) storage_.assign(n + 1024 + 1, 0);
    length_ = n;
    std::memcpy(storage_.data(), data, length_);
    storage_[length_] = 0;
}

void ReplyBuffer::Append(const void* data, size_t n) {
    std::lock_guard<std::recursive_mutex> g(mu_);
    const size_t capacity = storage_.size() - 1;
    if (length_ + n + 1 > capacity) {
        std::vector<char> grown(length_ + n + 1024 + 1, 0);
        std::memcpy(grown.data(), storage_.data(), length_);
        storage_.swap(grown);
    }
    std::memcpy(storage_.data() + length_, data, n);
    length_ += n;
    storage_[length_] = 0;
}

void ReplyBuffer::Overwrite(size_t at, const char* data, size_t n) {
    std::lock_guard<std::recursive_mutex> g(mu_);
    if (at >= length_) return;
    std::memcpy(storage_.data() + at, data, std::min(n, length_ - at));
}

size_t ReplyBuffer::CopyTo(void* out, size_t n) const {
    std::lock_guard<std::recursive_mutex> guard(mu_);
    const size_t count = std::min(n, length_);
    std::memcpy(out, storage_.data(), count);
    return count;
}

std::string ReplyBuffer::Text() const {
    std::lock_guard<std::recursive_mutex> g(mu_);
    return std::string(storage_.data(), strnlen(storage_.data(), length_));
}

size_t ReplyBuffer::Length() const {
    std::lock_guard<std::recursive_mutex> g(mu_);
    return length_;
}

size_t ReplyBuffer::Capacity() const {
    std::lock_guard<std::recursive_mutex> g(mu_);
    return storage_.size() - 1;
}

}  // namespace orvana
