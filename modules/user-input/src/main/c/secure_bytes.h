// A byte buffer for secrets (the PIN on its way from pinentry): every block it ever held is wiped
// before it goes back to the heap, growth and destruction included.
#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <new>
#include <vector>

template <typename T>
struct WipingAllocator {
    using value_type = T;

    WipingAllocator() = default;
    template <typename U>
    WipingAllocator(const WipingAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) { return static_cast<T*>(::operator new(count * sizeof(T))); }
    void deallocate(T* block, std::size_t count) noexcept {
        OPENSSL_cleanse(block, count * sizeof(T));
        ::operator delete(block);
    }

    template <typename U>
    bool operator==(const WipingAllocator<U>&) const noexcept { return true; }
};

// A vector rather than a string: a string keeps short contents inside the object, out of the allocator's reach.
using SecureBytes = std::vector<char, WipingAllocator<char>>;
