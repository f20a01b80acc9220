// Secrets in memory (a PIN, a key, a request that may carry either): one function wipes them, Secret
// owns a secret text and wipes it when it goes, SecretBytes is a growable buffer whose every block is
// wiped, and WipeOnExit wipes a buffer that must stay where it is (a C buffer, a stack array, a string
// a caller owns) on every exit path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace Utils {

// Overwrites size bytes at data with zeros in a way the compiler does not drop.
void wipe_bytes(void* data, std::size_t size) noexcept;

// The whole buffer of a string (what a longer earlier value left behind included), then cleared.
void wipe(std::string& text) noexcept;

// The elements of a vector (its size, not its capacity); the vector keeps its size.
template <typename T, typename Allocator>
void wipe(std::vector<T, Allocator>& items) noexcept {
    if (!items.empty()) wipe_bytes(items.data(), items.size() * sizeof(T));
}

// A whole array.
template <typename T, std::size_t N>
void wipe(T (&items)[N]) noexcept {
    wipe_bytes(items, sizeof items);
}

// Wipes the buffer it was given when the scope ends: Utils::WipeOnExit guard{buffer};
template <typename Buffer>
class WipeOnExit {
public:
    explicit WipeOnExit(Buffer& buffer) noexcept : buffer_(buffer) {}
    ~WipeOnExit() { wipe(buffer_); }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

private:
    Buffer& buffer_;
};

// Every block is wiped before it goes back to the heap, growth and destruction included.
template <typename T>
struct WipingAllocator {
    using value_type = T;

    WipingAllocator() = default;
    template <typename U>
    WipingAllocator(const WipingAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) { return static_cast<T*>(::operator new(count * sizeof(T))); }
    void deallocate(T* block, std::size_t count) noexcept {
        wipe_bytes(block, count * sizeof(T));
        ::operator delete(block);
    }

    template <typename U>
    bool operator==(const WipingAllocator<U>&) const noexcept {
        return true;
    }
    template <typename U>
    bool operator!=(const WipingAllocator<U>&) const noexcept {
        return false;
    }
};

// A buffer that grows while a secret arrives (the PIN read from pinentry). A vector rather than a
// string: a string keeps short contents inside the object, out of the allocator's reach.
using SecretBytes = std::vector<char, WipingAllocator<char>>;

// A secret text (the PIN on its way to the card) that owns its bytes and wipes them when it goes, is
// moved from or is cleared. Move-only, and never turned into a std::string by itself: text() lends
// the bytes to a call that takes a string, without a copy.
class Secret {
public:
    Secret() = default;
    // Takes text's bytes over and wipes what the move left behind in text.
    explicit Secret(std::string&& text) noexcept;
    // A copy of bytes that stay with their owner.
    static Secret copy_of(std::string_view bytes);

    Secret(Secret&& other) noexcept;
    Secret& operator=(Secret&& other) noexcept;
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    ~Secret() { wipe(text_); }

    const std::string& text() const noexcept { return text_; }
    std::size_t size() const noexcept { return text_.size(); }
    bool empty() const noexcept { return text_.empty(); }
    void clear() noexcept { wipe(text_); }

private:
    std::string text_;
};

inline bool operator==(const Secret& secret, std::string_view text) { return secret.text() == text; }
inline bool operator!=(const Secret& secret, std::string_view text) { return !(secret == text); }

}  // namespace Utils
