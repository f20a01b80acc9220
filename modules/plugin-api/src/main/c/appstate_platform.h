// The platform half of the state store: where the file lives, how it is protected, read and replaced.
#pragma once

#include <cstdint>
#include <string>

#include "appstate_check.h"

// The whole text of the state file after ensure_appstate_file; empty when it cannot be opened.
std::string appstate_read_text(const std::string& folder);
// Replaces the state file by one holding text, protected from its creation on.
void appstate_store_text(const std::string& folder, const std::string& text);

// The file's path and the findings of the folder and the file, for an inspection whose folder is
// named: what the host would make of them, found without changing anything.
void appstate_inspect_entries(AppStateInspection& inspection);

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
