#include "secret.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <string.h>
#endif

namespace Utils {

void wipe_bytes(void* data, std::size_t size) noexcept {
    if (!data || size == 0) return;
#ifdef _WIN32
    SecureZeroMemory(data, size);
#else
    explicit_bzero(data, size);
#endif
}

void wipe(std::string& text) noexcept {
    text.resize(text.capacity());  // no reallocation: the size grows within the capacity
    wipe_bytes(text.data(), text.size());
    text.clear();
}

Secret::Secret(std::string&& text) noexcept : text_(std::move(text)) { wipe(text); }

Secret Secret::copy_of(std::string_view bytes) {
    Secret secret;
    secret.text_.assign(bytes.data(), bytes.size());
    return secret;
}

Secret::Secret(Secret&& other) noexcept : text_(std::move(other.text_)) { wipe(other.text_); }

Secret& Secret::operator=(Secret&& other) noexcept {
    if (this != &other) {
        wipe(text_);
        text_ = std::move(other.text_);
        wipe(other.text_);
    }
    return *this;
}

}  // namespace Utils
