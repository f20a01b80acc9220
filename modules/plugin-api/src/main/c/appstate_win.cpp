// The state store on Windows: <FOLDERID_LocalAppData>\Veldra\appstate, its DACL owner-only and
// protected; a DACL found wider is replaced. A new key goes into a temporary file created with that
// DACL and moved over the state file, so the key is never readable by others, not even briefly.
#include "appstate_win.h"

#include <aclapi.h>
#include <knownfolders.h>
#include <sddl.h>
#include <shlobj.h>
#include <sys/stat.h>

#include <cerrno>
#include <stdexcept>

#include "appstate.h"
#include "appstate_check.h"
#include "appstate_platform.h"
#include "secret.h"

namespace {

constexpr int ACL_ATTEMPTS = 5;
constexpr DWORD ACL_RETRY_PAUSE_MS = 20;

[[noreturn]] void fail(const std::string& text) { throw std::runtime_error(text); }

class Handle {
public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle() {
        if (valid()) CloseHandle(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

struct CoTaskMemDeleter {
    void operator()(wchar_t* p) const { CoTaskMemFree(p); }
};

struct LocalDescriptor {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ~LocalDescriptor() {
        if (descriptor) LocalFree(descriptor);
    }
};

std::string file_path(const std::string& folder) { return folder + "\\appstate"; }

bool is_separator(char c) { return c == '\\' || c == '/'; }

bool is_directory(const std::wstring& path) {
    struct _stat64 info {};
    return _wstat64(path.c_str(), &info) == 0 && (info.st_mode & _S_IFDIR) != 0;
}

void make_directory_chain(const std::string& folder) {
    if (is_directory(appstate_widen(folder))) return;
    std::string prefix;
    for (size_t i = 0; i < folder.size(); ++i) {
        prefix += folder[i];
        const bool boundary = is_separator(folder[i]) || i + 1 == folder.size();
        if (!boundary) continue;
        const bool drive_root = prefix.size() == 3 && prefix[1] == ':';
        const bool separators_only = prefix.find_first_not_of("\\/") == std::string::npos;
        if (drive_root || separators_only) continue;
        if (_wmkdir(appstate_widen(prefix).c_str()) != 0 && errno != EEXIST)
            fail("failed to create directory " + prefix);
    }
    if (!is_directory(appstate_widen(folder))) fail("failed to create directory " + folder);
}

// A reparse point (symbolic link, junction) where the file should be is refused, as is a folder.
bool state_file_exists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) fail("appstate file is a symbolic link");
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) fail("appstate file is not a regular file");
    return true;
}

// The one rule that ensure_appstate_file enforces and inspect_appstate reports: the file's DACL
// protected and granting the current user alone.
bool has_owner_only_dacl(const std::wstring& path) {
    LocalDescriptor descriptor;
    PACL dacl = nullptr;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                              &descriptor.descriptor) != ERROR_SUCCESS ||
        !dacl || !GetSecurityDescriptorControl(descriptor.descriptor, &control, &revision) ||
        (control & SE_DACL_PROTECTED) == 0)
        return false;
    auto sid = appstate_current_user_sid();
    return appstate_owner_only_acl_accepted(dacl, sid.data());
}

// A security descriptor holding the owner-only DACL, protected, for files created here.
class OwnerOnlyDescriptor {
public:
    OwnerOnlyDescriptor() {
        sid_ = appstate_current_user_sid();
        acl_ = appstate_build_owner_only_acl(sid_.data());
        if (!InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
            !SetSecurityDescriptorDacl(&descriptor_, TRUE, acl_.get(), FALSE) ||
            !SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
            fail("failed to build restricted ACL");
        attributes_.nLength = sizeof attributes_;
        attributes_.lpSecurityDescriptor = &descriptor_;
        attributes_.bInheritHandle = FALSE;
    }
    SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

private:
    std::vector<uint8_t> sid_;
    LocalAcl acl_;
    SECURITY_DESCRIPTOR descriptor_{};
    SECURITY_ATTRIBUTES attributes_{};
};

std::string read_all(HANDLE file) {
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
    Utils::wipe(buffer);
    return text;
}

}  // namespace

std::wstring appstate_widen(const std::string& text) {
    if (text.empty()) return {};
    const int size =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0) fail("MultiByteToWideChar failed");
    std::wstring wide(static_cast<size_t>(size), L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), wide.data(),
                            size) != size)
        fail("MultiByteToWideChar failed");
    return wide;
}

std::string appstate_narrow(const std::wstring& text) {
    if (text.empty()) return {};
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (size <= 0) fail("WideCharToMultiByte size query failed");
    std::string narrow(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), size, nullptr, nullptr);
    return narrow;
}

std::vector<uint8_t> appstate_current_user_sid() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) fail("failed to open process token");
    Handle token(raw);
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    if (size == 0) fail("failed to get token user info");
    std::vector<uint8_t> info(size);
    if (!GetTokenInformation(token.get(), TokenUser, info.data(), size, &size)) fail("failed to get token user info");
    const PSID sid = reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid;
    std::vector<uint8_t> copy(GetLengthSid(sid));
    if (!CopySid(static_cast<DWORD>(copy.size()), copy.data(), sid)) fail("failed to copy user SID");
    return copy;
}

LocalAcl appstate_build_owner_only_acl(PSID sid) {
    EXPLICIT_ACCESS_W access{};
    access.grfAccessPermissions = APPSTATE_OWNER_RIGHTS;
    access.grfAccessMode = SET_ACCESS;
    access.grfInheritance = NO_INHERITANCE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_USER;
    access.Trustee.ptstrName = static_cast<LPWSTR>(sid);
    PACL acl = nullptr;
    if (SetEntriesInAclW(1, &access, nullptr, &acl) != ERROR_SUCCESS || !acl) fail("failed to build restricted ACL");
    return LocalAcl(acl);
}

bool appstate_owner_only_acl_accepted(const ACL* dacl, PSID sid) {
    if (!dacl || dacl->AceCount != 1) return false;
    void* ace = nullptr;
    if (!GetAce(const_cast<ACL*>(dacl), 0, &ace) || !ace) return false;
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    const PSID entry = const_cast<DWORD*>(&allowed->SidStart);
    return EqualSid(entry, sid) && (allowed->Mask & APPSTATE_REQUIRED_RIGHTS) == APPSTATE_REQUIRED_RIGHTS;
}

void apply_owner_only_acl(const std::wstring& path) {
    auto sid = appstate_current_user_sid();
    LocalAcl acl = appstate_build_owner_only_acl(sid.data());
    const DWORD result = SetNamedSecurityInfoW(const_cast<LPWSTR>(path.c_str()), SE_FILE_OBJECT,
                                               DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                               nullptr, acl.get(), nullptr);
    if (result != ERROR_SUCCESS) fail("failed to apply restricted ACL to appstate file");
}

std::string appstate_directory() {
    wchar_t* raw = nullptr;
    if (FAILED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &raw)) || !raw) {
        CoTaskMemFree(raw);
        fail("Failed to get LocalAppData");
    }
    std::unique_ptr<wchar_t, CoTaskMemDeleter> path(raw);
    return appstate_narrow(path.get()) + "\\Veldra";
}

void ensure_appstate_file(const std::string& folder) {
    make_directory_chain(folder);
    const std::wstring path = appstate_widen(file_path(folder));
    if (!state_file_exists(path) || has_owner_only_dacl(path)) return;  // a missing one is written by load_master_key
    // Another process may be moving a new file into place at this moment: try again briefly
    // before the failure counts.
    for (int attempt = 1;; ++attempt) {
        try {
            apply_owner_only_acl(path);
            return;
        } catch (const std::runtime_error&) {
            if (attempt == ACL_ATTEMPTS) throw;
            Sleep(ACL_RETRY_PAUSE_MS);
        }
    }
}

std::string appstate_read_text(const std::string& folder) {
    ensure_appstate_file(folder);
    const std::wstring path = appstate_widen(file_path(folder));
    Handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid()) return {};
    return read_all(file.get());
}

void appstate_store_text(const std::string& folder, const std::string& text) {
    OwnerOnlyDescriptor descriptor;
    const std::wstring target = appstate_widen(file_path(folder));
    std::wstring temporary;
    HANDLE raw = INVALID_HANDLE_VALUE;
    for (unsigned attempt = 0; attempt < 16 && raw == INVALID_HANDLE_VALUE; ++attempt) {
        temporary = appstate_widen(folder + "\\.appstate." + std::to_string(GetCurrentProcessId()) + "." +
                                   std::to_string(GetTickCount64() + attempt));
        raw = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, descriptor.attributes(), CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    bool ok = raw != INVALID_HANDLE_VALUE;
    if (ok) {
        Handle file(raw);
        for (size_t done = 0; ok && done < text.size();) {
            DWORD written = 0;
            ok = WriteFile(file.get(), text.data() + done, static_cast<DWORD>(text.size() - done), &written, nullptr) &&
                 written > 0;
            done += written;
        }
        ok = ok && FlushFileBuffers(file.get());
    }
    ok = ok && MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok) {
        if (raw != INVALID_HANDLE_VALUE) DeleteFileW(temporary.c_str());
        fail("failed to create appstate file");
    }
}

AppStateLock::AppStateLock(const std::string& folder) : handle_(0) {
    OwnerOnlyDescriptor descriptor;
    const std::wstring path = appstate_widen(folder + "\\.appstate.lock");
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              descriptor.attributes(), OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) fail("failed to lock appstate file");
    OVERLAPPED whole{};
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &whole)) {
        CloseHandle(file);
        fail("failed to lock appstate file");
    }
    handle_ = reinterpret_cast<intptr_t>(file);
}

AppStateLock::~AppStateLock() {
    const HANDLE file = reinterpret_cast<HANDLE>(handle_);
    OVERLAPPED whole{};
    UnlockFileEx(file, 0, 1, 0, &whole);
    CloseHandle(file);
}

// The checks of ensure_appstate_file, made without changing anything: the file's DACL must be
// protected and owner-only, or the host replaces it.
void appstate_inspect_entries(AppStateInspection& inspection) {
    const DWORD folder = GetFileAttributesW(appstate_widen(inspection.folder).c_str());
    inspection.folderFinding.text = "folder " + inspection.folder;
    if (folder == INVALID_FILE_ATTRIBUTES) {
        inspection.folderFinding.verdict = AppStateFinding::Verdict::Missing;
        inspection.folderFinding.text += " does not exist yet";
    } else if (!(folder & FILE_ATTRIBUTE_DIRECTORY)) {
        inspection.folderFinding.verdict = AppStateFinding::Verdict::Refused;
        inspection.folderFinding.text += " is not a folder";
    }
    inspection.file = file_path(inspection.folder);
    inspection.fileFinding.text = "file " + inspection.file;
    const std::wstring wide = appstate_widen(inspection.file);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        inspection.fileFinding.verdict = AppStateFinding::Verdict::Missing;
        inspection.fileFinding.text += " does not exist yet";
    } else if (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) {
        inspection.fileFinding.verdict = AppStateFinding::Verdict::Refused;
        inspection.fileFinding.text +=
            attributes & FILE_ATTRIBUTE_REPARSE_POINT ? " is a symbolic link" : " is not a regular file";
    } else if (!has_owner_only_dacl(wide)) {
        inspection.fileFinding.verdict = AppStateFinding::Verdict::Repaired;
        inspection.fileFinding.text += " has a DACL that is not protected and owner-only";
    }
}
