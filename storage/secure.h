// Buffers for passwords, PINs, PUKs and key material: wiped with zero bytes before release.
#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vq {

// Allocator that wipes every block before handing it back, so that growth of a container
// never leaves a copy of the secret in freed memory.
template <class T>
struct WipingAllocator {
    using value_type = T;
    WipingAllocator() noexcept = default;
    template <class U>
    WipingAllocator(const WipingAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
    void deallocate(T* p, std::size_t n) noexcept {
        OPENSSL_cleanse(p, n * sizeof(T));
        std::allocator<T>{}.deallocate(p, n);
    }
    template <class U>
    bool operator==(const WipingAllocator<U>&) const noexcept {
        return true;
    }
};

// Bytes of a secret (key material, decrypted DER).
using SecureBytes = std::vector<unsigned char, WipingAllocator<unsigned char>>;

// Text of a secret (password, PIN, PUK, key material as hex text). Short strings live inside the
// object itself; the destructor wipes that storage as well.
class SecureString {
public:
    SecureString() = default;
    explicit SecureString(std::string_view s) : s_(s.begin(), s.end()) {}
    SecureString(const SecureString&) = default;
    SecureString(SecureString&& o) noexcept : s_(std::move(o.s_)) { o.wipe(); }
    SecureString& operator=(const SecureString& o) {
        if (this != &o) {
            wipe();
            s_ = o.s_;
        }
        return *this;
    }
    SecureString& operator=(SecureString&& o) noexcept {
        if (this != &o) {
            wipe();
            s_ = std::move(o.s_);
            o.wipe();
        }
        return *this;
    }
    ~SecureString() { wipe(); }

    void wipe() noexcept {
        if (!s_.empty()) OPENSSL_cleanse(s_.data(), s_.size());
        s_.clear();
    }
    void assign(std::string_view s) {
        wipe();
        s_.assign(s.begin(), s.end());
    }
    void append(std::string_view s) { s_.append(s.begin(), s.end()); }
    void push_back(char c) { s_.push_back(c); }
    void pop_back() { s_.pop_back(); }

    const char* c_str() const noexcept { return s_.c_str(); }
    const char* data() const noexcept { return s_.data(); }
    char* data() noexcept { return s_.data(); }
    std::size_t size() const noexcept { return s_.size(); }
    bool empty() const noexcept { return s_.empty(); }
    std::string_view view() const noexcept { return {s_.data(), s_.size()}; }
    bool operator==(const SecureString& o) const noexcept { return s_ == o.s_; }

private:
    using Str = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;
    Str s_;
};

}  // namespace vq
