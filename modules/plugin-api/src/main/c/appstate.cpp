#include "appstate.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include "base64.h"

namespace {

constexpr mode_t FOLDER_MODE = 0700;
constexpr mode_t FILE_MODE = 0600;

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

// The folder must be a real directory of ours, closed to everybody else.
void secure_folder(const std::string& folder) {
    struct stat info {};
    if (lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        fail("failed to create directory " + folder);
    if (info.st_uid != geteuid()) fail("appstate folder is not owned by the current user");
    if ((info.st_mode & 07777) != FOLDER_MODE && chmod(folder.c_str(), FOLDER_MODE) != 0)
        fail("failed to apply restricted access to appstate folder");
}

// Opens the file without following a symlink; -1 with errno ENOENT when it does not exist.
int open_state_file(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, FILE_MODE);
    if (fd < 0 && errno == ELOOP) fail("appstate file is a symbolic link");
    return fd;
}

void secure_file(int fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) fail("appstate file is not a regular file");
    if (info.st_uid != geteuid()) fail("appstate file is not owned by the current user");
    if ((info.st_mode & 07777) != FILE_MODE && fchmod(fd, FILE_MODE) != 0)
        fail("failed to apply restricted ACL to appstate file");
}

std::string read_all(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    OPENSSL_cleanse(buffer, sizeof buffer);
    return text;
}

void wipe(std::string& text) {
    if (!text.empty()) OPENSSL_cleanse(text.data(), text.size());
    text.clear();
}

// Reads the key entry, if any, into key. False when the file holds none.
bool read_key(const std::string& folder, uint8_t (&key)[MASTER_KEY_LENGTH]) {
    auto entries = read_appstate(folder);
    auto found = entries.find("key");
    if (found == entries.end()) return false;
    std::vector<uint8_t> decoded;
    try {
        decoded = base64_decode(found->second);
    } catch (...) {
        for (auto& [name, value] : entries) wipe(value);
        throw;
    }
    for (auto& [name, value] : entries) wipe(value);
    const bool sized = decoded.size() == MASTER_KEY_LENGTH;
    if (sized) std::memcpy(key, decoded.data(), MASTER_KEY_LENGTH);
    OPENSSL_cleanse(decoded.data(), decoded.size());
    if (!sized) fail("invalid master key length");
    return true;
}

// Writes a new key atomically: a private temporary file renamed over the state file.
void store_new_key(const std::string& folder, uint8_t (&key)[MASTER_KEY_LENGTH]) {
    if (RAND_bytes(key, MASTER_KEY_LENGTH) != 1) fail("error generating master key");
    std::string line = "key=" + base64_encode(key, MASTER_KEY_LENGTH);
    std::string temporary = folder + "/.appstate.XXXXXX";
    const int raw = mkstemp(temporary.data());
    if (raw < 0) {
        wipe(line);
        fail("failed to create appstate file");
    }
    FileDescriptor fd(raw);
    bool ok = fchmod(fd.get(), FILE_MODE) == 0;
    for (size_t done = 0; ok && done < line.size();) {
        const ssize_t n = ::write(fd.get(), line.data() + done, line.size() - done);
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    wipe(line);
    ok = ok && fsync(fd.get()) == 0 && rename(temporary.c_str(), file_path(folder).c_str()) == 0;
    if (!ok) {
        unlink(temporary.c_str());
        fail("failed to create appstate file");
    }
}

// Serialises the first-time creation between processes of the same user.
class FolderLock {
public:
    explicit FolderLock(const std::string& folder)
        : fd_(::open((folder + "/.appstate.lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, FILE_MODE)) {
        if (fd_.get() < 0 || flock(fd_.get(), LOCK_EX) != 0) fail("failed to lock appstate file");
    }

private:
    FileDescriptor fd_;
};

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

void ensure_appstate_file(const std::string& folder) {
    make_directory_chain(folder);
    secure_folder(folder);
    const int raw = open_state_file(file_path(folder), O_RDONLY);
    if (raw < 0) {
        if (errno == ENOENT) return;  // written with its key by load_master_key
        fail("failed to create appstate file");
    }
    FileDescriptor fd(raw);
    secure_file(fd.get());
}

std::map<std::string, std::string> parse_appstate(const std::string& text) {
    std::map<std::string, std::string> entries;
    size_t begin = 0;
    while (begin <= text.size()) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        const size_t eq = text.find('=', begin);
        if (eq != std::string::npos && eq < end)
            entries.emplace(text.substr(begin, eq - begin), text.substr(eq + 1, end - eq - 1));
        begin = end + 1;
    }
    return entries;
}

std::map<std::string, std::string> read_appstate(const std::string& folder) {
    ensure_appstate_file(folder);
    const int raw = open_state_file(file_path(folder), O_RDONLY);
    if (raw < 0) return {};
    FileDescriptor fd(raw);
    secure_file(fd.get());
    std::string text = read_all(fd.get());
    auto entries = parse_appstate(text);
    wipe(text);
    return entries;
}

void load_master_key(uint8_t (&key)[MASTER_KEY_LENGTH]) {
    const std::string folder = appstate_directory();
    if (read_key(folder, key)) return;
    FolderLock lock(folder);
    if (read_key(folder, key)) return;  // another process stored one meanwhile
    store_new_key(folder, key);
}
