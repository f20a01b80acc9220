// The platform half of the state store: where the file lives, how it is protected, read and replaced.
#pragma once

#include <cstdint>
#include <string>

// The whole text of the state file after ensure_appstate_file; empty when it cannot be opened.
std::string appstate_read_text(const std::string& folder);
// Replaces the state file by one holding text, protected from its creation on.
void appstate_store_text(const std::string& folder, const std::string& text);

// Serialises the first-time creation of the key between processes of the same user.
class AppStateLock {
public:
    explicit AppStateLock(const std::string& folder);
    ~AppStateLock();
    AppStateLock(const AppStateLock&) = delete;
    AppStateLock& operator=(const AppStateLock&) = delete;

private:
    intptr_t handle_;
};
