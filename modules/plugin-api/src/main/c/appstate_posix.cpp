// The state store on POSIX: $XDG_DATA_HOME/Veldra (default ~/.local/share), folder 0700, file 0600,
// owned by the user, never through a symlink.
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <utility>

#include "appstate.h"
#include "appstate_check.h"
#include "i18n.h"
#include "appstate_platform.h"

namespace {

constexpr mode_t FOLDER_MODE = APPSTATE_FOLDER_MODE;
constexpr mode_t FILE_MODE = APPSTATE_FILE_MODE;
// The file holds one line of 48 bytes; whatever else someone put there is never read.
constexpr size_t MAX_READ = 4096;
// A temporary key file this old was left by a host that was killed while writing it.
constexpr time_t STALE_TEMPORARY_SECONDS = 60;
constexpr char TEMPORARY_PREFIX[] = ".appstate.";

[[noreturn]] void fail(const std::string& text) { throw std::runtime_error(text); }

// Closes a descriptor on every path.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

std::string file_path(const std::string& folder) { return folder + "/appstate"; }

void make_directory_chain(const std::string& folder) {
    struct stat info {};
    if (lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return;
    std::string prefix;
    for (size_t i = 0; i < folder.size(); ++i) {
        prefix += folder[i];
        const bool boundary = folder[i] == '/' || i + 1 == folder.size();
        if (!boundary || prefix == "/") continue;
        if (mkdir(prefix.c_str(), FOLDER_MODE) != 0 && errno != EEXIST) fail("failed to create directory " + prefix);
    }
}

// What the folder or the file is to the host: the one rule that secure_folder and secure_file
// enforce and inspect_entry reports. Only OtherModes is repaired; the others are refused.
enum class Fault { None, Link, WrongKind, Foreign, OtherModes };

Fault fault_of(const struct stat& info, bool folder) {
    if (S_ISLNK(info.st_mode)) return Fault::Link;
    if (folder ? !S_ISDIR(info.st_mode) : !S_ISREG(info.st_mode)) return Fault::WrongKind;
    if (info.st_uid != geteuid()) return Fault::Foreign;
    if ((info.st_mode & 07777) != (folder ? FOLDER_MODE : FILE_MODE)) return Fault::OtherModes;
    return Fault::None;
}

// The folder must be a real directory of ours, closed to everybody else.
void secure_folder(const std::string& folder) {
    struct stat info {};
    const Fault fault = lstat(folder.c_str(), &info) != 0 ? Fault::WrongKind : fault_of(info, true);
    if (fault == Fault::Link || fault == Fault::WrongKind) fail("failed to create directory " + folder);
    if (fault == Fault::Foreign) fail("appstate folder is not owned by the current user");
    if (fault == Fault::OtherModes && chmod(folder.c_str(), FOLDER_MODE) != 0)
        fail("failed to apply restricted access to appstate folder");
}

// Opens the file without following a symlink, and without waiting on a FIFO or device put in its
// place (secure_file refuses those at once); -1 with errno ENOENT when it does not exist.
int open_state_file(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, FILE_MODE);
    if (fd < 0 && errno == ELOOP) fail("appstate file is a symbolic link");
    return fd;
}

void secure_file(int fd) {
    struct stat info {};
    const Fault fault = fstat(fd, &info) != 0 ? Fault::WrongKind : fault_of(info, false);
    if (fault == Fault::Link || fault == Fault::WrongKind) fail("appstate file is not a regular file");
    if (fault == Fault::Foreign) fail("appstate file is not owned by the current user");
    if (fault == Fault::OtherModes && fchmod(fd, FILE_MODE) != 0)
        fail("failed to apply restricted ACL to appstate file");
}

// The first MAX_READ bytes at most.
std::string read_start(int fd) {
    std::string text(MAX_READ, '\0');
    size_t done = 0;
    ssize_t n;
    while (done < text.size() && (n = ::read(fd, text.data() + done, text.size() - done)) != 0) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        done += static_cast<size_t>(n);
    }
    text.resize(done);
    return text;
}

// Removes the temporary key files that killed hosts left behind; one being written now is younger.
void remove_stale_temporaries(const std::string& folder) {
    DIR* raw = opendir(folder.c_str());
    if (!raw) return;
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(raw, closedir);
    const time_t now = time(nullptr);
    while (const dirent* entry = readdir(dir.get())) {
        const std::string name = entry->d_name;
        // mkstemp's names: the prefix and six characters.
        if (name.size() != sizeof TEMPORARY_PREFIX - 1 + 6 || name.rfind(TEMPORARY_PREFIX, 0) != 0) continue;
        if (name == ".appstate.lock") continue;
        struct stat info {};
        if (fstatat(dirfd(dir.get()), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISREG(info.st_mode) && info.st_uid == geteuid() && now - info.st_mtime > STALE_TEMPORARY_SECONDS)
            unlinkat(dirfd(dir.get()), name.c_str(), 0);
    }
}

}  // namespace

std::string appstate_directory() {
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data && data[0] == '/') return std::string(data) + "/Veldra";
    const char* home = std::getenv("HOME");
    if (!home || home[0] != '/') {
        const passwd* entry = getpwuid(geteuid());
        home = entry ? entry->pw_dir : nullptr;
    }
    if (!home || home[0] != '/') fail("Failed to get LocalAppData");
    return std::string(home) + "/.local/share/Veldra";
}

namespace {

// The folder made and secured, then the state file opened and secured: -1 when there is none yet.
int open_secured_state(const std::string& folder) {
    make_directory_chain(folder);
    secure_folder(folder);
    const int raw = open_state_file(file_path(folder), O_RDONLY);
    if (raw < 0) {
        if (errno == ENOENT) return -1;  // written with its key by load_master_key
        fail("failed to create appstate file");
    }
    FileDescriptor fd(raw);
    secure_file(fd.get());
    return fd.release();
}

}  // namespace

void ensure_appstate_file(const std::string& folder) { const FileDescriptor fd(open_secured_state(folder)); }

// One open serves both the checks and the read.
std::string appstate_read_text(const std::string& folder) {
    const int raw = open_secured_state(folder);
    if (raw < 0) return {};
    FileDescriptor fd(raw);
    return read_start(fd.get());
}

// Written atomically: a private temporary file renamed over the state file.
void appstate_store_text(const std::string& folder, const std::string& text) {
    remove_stale_temporaries(folder);
    std::string temporary = folder + "/" + TEMPORARY_PREFIX + "XXXXXX";
    const int raw = mkstemp(temporary.data());
    if (raw < 0) fail("failed to create appstate file");
    FileDescriptor fd(raw);
    bool ok = fchmod(fd.get(), FILE_MODE) == 0;
    for (size_t done = 0; ok && done < text.size();) {
        const ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    ok = ok && fsync(fd.get()) == 0 && rename(temporary.c_str(), file_path(folder).c_str()) == 0;
    if (!ok) {
        unlink(temporary.c_str());
        fail("failed to create appstate file");
    }
}

AppStateLock::AppStateLock(const std::string& folder)
    : handle_(::open((folder + "/.appstate.lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, FILE_MODE)) {
    if (handle_ < 0) fail("failed to lock appstate file");
    if (flock(static_cast<int>(handle_), LOCK_EX) != 0) {
        ::close(static_cast<int>(handle_));
        fail("failed to lock appstate file");
    }
}

AppStateLock::~AppStateLock() { ::close(static_cast<int>(handle_)); }

namespace {

// "folder PATH (owner N, mode NNNN)", or the same for the file.
std::string describe(const std::string& path, const struct stat& info, bool folder) {
    char owner[16], mode[16];
    std::snprintf(owner, sizeof owner, "%u", static_cast<unsigned>(info.st_uid));
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    return Utils::i18n_format(folder ? _("folder {1} (owner {2}, mode {3})") : _("file {1} (owner {2}, mode {3})"),
                              {path, owner, mode});
}

// The checks of secure_folder and secure_file, made with lstat and nothing changed.
AppStateFinding inspect_entry(const std::string& path, bool folder) {
    AppStateFinding finding;
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        const bool missing = errno == ENOENT;
        finding.verdict = missing ? AppStateFinding::Verdict::Missing : AppStateFinding::Verdict::Refused;
        finding.text = Utils::i18n_format(
            folder ? (missing ? _("folder {1} does not exist yet") : _("folder {1} cannot be examined"))
                   : (missing ? _("file {1} does not exist yet") : _("file {1} cannot be examined")),
            {path});
        return finding;
    }
    const std::string subject = describe(path, info, folder);
    const char* fault = nullptr;
    switch (fault_of(info, folder)) {
    case Fault::None: break;
    case Fault::Link: fault = _("{1} is a symbolic link"); break;
    case Fault::WrongKind: fault = folder ? _("{1} is not a directory") : _("{1} is not a regular file"); break;
    case Fault::Foreign: fault = _("{1} is not owned by the current user"); break;
    case Fault::OtherModes: {
        finding.verdict = AppStateFinding::Verdict::Repaired;
        char modes[16];
        std::snprintf(modes, sizeof modes, "%04o", static_cast<unsigned>(folder ? FOLDER_MODE : FILE_MODE));
        finding.text = Utils::i18n_format(_("{1} has other modes than {2}"), {subject, modes});
        return finding;
    }
    }
    if (fault) finding.verdict = AppStateFinding::Verdict::Refused;
    finding.text = fault ? Utils::i18n_format(fault, {subject}) : subject;
    return finding;
}

// The deepest folder of the chain that exists: where the host's first mkdir happens.
std::string existing_ancestor(std::string path) {
    struct stat info {};
    while (!path.empty() && lstat(path.c_str(), &info) != 0) {
        const size_t slash = path.rfind('/');
        path = slash == 0 ? "/" : path.substr(0, slash == std::string::npos ? 0 : slash);
    }
    return path;
}

}  // namespace

void appstate_inspect_entries(AppStateInspection& inspection) {
    inspection.file = file_path(inspection.folder);
    inspection.folderFinding = inspect_entry(inspection.folder, true);
    if (inspection.folderFinding.verdict == AppStateFinding::Verdict::Missing) {
        const std::string parent = existing_ancestor(inspection.folder);
        if (parent.empty() || access(parent.c_str(), W_OK | X_OK) != 0) {
            inspection.folderFinding.verdict = AppStateFinding::Verdict::Refused;
            inspection.folderFinding.text =
                Utils::i18n_format(_("{1}, and it cannot be created in {2}"),
                                   {inspection.folderFinding.text, parent.empty() ? "?" : parent});
        }
    }
    if (inspection.folderFinding.verdict == AppStateFinding::Verdict::Refused ||
        inspection.folderFinding.verdict == AppStateFinding::Verdict::Missing) {
        inspection.fileFinding = {AppStateFinding::Verdict::Missing,
                                  Utils::i18n_format(_("file {1} does not exist yet"), {inspection.file})};
        return;
    }
    inspection.fileFinding = inspect_entry(inspection.file, false);
}
