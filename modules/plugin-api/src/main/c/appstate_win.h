// The Windows state store's access control: the file's DACL is protected (not inherited) and holds
// one access-allowed entry for the user running the process.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

// File read, write and delete rights of the one entry; an existing entry must hold at least the
// read and write part of them.
constexpr DWORD APPSTATE_OWNER_RIGHTS = 0x0013019F;
constexpr DWORD APPSTATE_REQUIRED_RIGHTS = 0x0012019F;

struct LocalFreeDeleter {
    void operator()(void* p) const {
        if (p) LocalFree(p);
    }
};
using LocalAcl = std::unique_ptr<ACL, LocalFreeDeleter>;

// UTF-8 and UTF-16 forms of a path; throw "MultiByteToWideChar failed" and
// "WideCharToMultiByte size query failed".
std::wstring appstate_widen(const std::string& text);
std::string appstate_narrow(const std::wstring& text);

// The SID of the process's user, copied out of its token.
std::vector<uint8_t> appstate_current_user_sid();
// The owner-only ACL for sid, as the file receives it.
LocalAcl appstate_build_owner_only_acl(PSID sid);
// Whether dacl is already owner-only for sid: one access-allowed entry, that SID, the rights.
bool appstate_owner_only_acl_accepted(const ACL* dacl, PSID sid);
// Sets the owner-only DACL, protected, on the file at path.
void apply_owner_only_acl(const std::wstring& path);
