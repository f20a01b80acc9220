#include "manifest.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>

#include "i18n.h"
#include "json_value.h"
#ifndef _WIN32
#include "posix_fd.h"
#endif

namespace Doctor {
namespace {

// Browsers refuse larger manifests; a bigger file is not one.
constexpr long kMaxManifestBytes = 1024 * 1024;

// An add-on id longer than this is refused: browsers make far shorter ones, and the checks stay cheap.
constexpr size_t kMaxExtensionIdBytes = 255;
// How many of a manifest's extensions the report lists.
constexpr size_t kListedExtensions = 20;
// How much of a refused entry the report quotes.
constexpr size_t kQuotedEntryBytes = 80;

#ifdef _WIN32
bool ReadSmallFile(const std::string& path, std::string& text, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        error = _("cannot be read");
        return false;
    }
    char buffer[8192];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        text.append(buffer, n);
        if (text.size() > static_cast<size_t>(kMaxManifestBytes)) break;
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) error = _("cannot be read");
    else if (text.size() > static_cast<size_t>(kMaxManifestBytes)) error = _("is larger than 1 MB");
    return error.empty();
}
#else
// Only a regular file is read: a FIFO, a device or a socket in a manifest's place could block the
// doctor or feed it without end. The open does not wait for a FIFO's writer.
bool ReadSmallFile(const std::string& path, std::string& text, std::string& error) {
    const Fd file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat info {};
    if (file.get() < 0 || fstat(file.get(), &info) != 0) {
        error = _("cannot be read");
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        error = _("is not a regular file");
        return false;
    }
    char buffer[8192];
    for (;;) {
        const ssize_t n = read(file.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = _("cannot be read");
            return false;
        }
        if (n == 0) break;
        text.append(buffer, static_cast<size_t>(n));
        if (text.size() > static_cast<size_t>(kMaxManifestBytes)) {
            error = _("is larger than 1 MB");
            return false;
        }
    }
    return true;
}
#endif

// A list entry as the report quotes it: its start only when it is long.
std::string QuotedExcerpt(const std::string& entry) {
    return "\"" + (entry.size() > kQuotedEntryBytes
                       ? entry.substr(0, kQuotedEntryBytes) + "...\" (" + std::to_string(entry.size()) + " bytes)"
                       : entry + "\"");
}

bool AllOf(const std::string& text, size_t from, size_t to, bool (*good)(char)) {
    for (size_t i = from; i < to; ++i)
        if (!good(text[i])) return false;
    return true;
}

bool IsAlphanumeric(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }
bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool IsIdLocalChar(char c) { return IsAlphanumeric(c) || c == '.' || c == '_' || c == '+' || c == '-'; }
bool IsIdDomainChar(char c) { return IsAlphanumeric(c) || c == '.' || c == '_' || c == '-'; }

// {8-4-4-4-12 hexadecimal digits}
bool IsGuidId(const std::string& id) {
    if (id.size() != 38 || id.front() != '{' || id.back() != '}') return false;
    for (size_t i = 1; i + 1 < id.size(); ++i) {
        const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        if (dash ? id[i] != '-' : !IsHex(id[i])) return false;
    }
    return true;
}

enum class ProgramFile { Missing, NotExecutable, Executable };

#ifdef _WIN32
bool IsAbsolute(const std::string& path) {
    return path.size() > 2 && ((path[1] == ':' && (path[2] == '\\' || path[2] == '/')) || path.rfind("\\\\", 0) == 0);
}

ProgramFile Examine(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return ProgramFile::Missing;
    return attributes & FILE_ATTRIBUTE_DIRECTORY ? ProgramFile::NotExecutable : ProgramFile::Executable;
}

// Chrome, Edge and Firefox on Windows take a relative "path" from the manifest's own folder.
std::string Resolve(const std::string& manifest, const std::string& program) {
    if (IsAbsolute(program)) return program;
    const size_t slash = manifest.find_last_of("\\/");
    return (slash == std::string::npos ? std::string() : manifest.substr(0, slash + 1)) + program;
}
#else
bool IsAbsolute(const std::string& path) { return !path.empty() && path[0] == '/'; }

ProgramFile Examine(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return ProgramFile::Missing;
    return S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0 ? ProgramFile::Executable
                                                                    : ProgramFile::NotExecutable;
}

// Browsers on Linux take "path" only as an absolute one.
std::string Resolve(const std::string&, const std::string& program) { return IsAbsolute(program) ? program : ""; }
#endif

}  // namespace

bool IsChromeOrigin(const std::string& origin) {
    static const std::string scheme = "chrome-extension://";
    constexpr size_t idLength = 32;
    if (origin.size() != scheme.size() + idLength + 1 || origin.compare(0, scheme.size(), scheme) != 0 ||
        origin.back() != '/')
        return false;
    return AllOf(origin, scheme.size(), scheme.size() + idLength, [](char c) { return c >= 'a' && c <= 'p'; });
}

// name@example.org (any number of name characters, at least one domain character) or {GUID}.
bool IsFirefoxExtensionId(const std::string& id) {
    if (id.size() > kMaxExtensionIdBytes) return false;
    const size_t at = id.find('@');
    if (at == std::string::npos) return IsGuidId(id);
    return at + 1 < id.size() && AllOf(id, 0, at, IsIdLocalChar) && AllOf(id, at + 1, id.size(), IsIdDomainChar);
}

Finding CheckManifest(const std::string& browser, bool system, const std::string& path, ManifestKind kind) {
    Finding finding{browser, Status::Ok, "", "", {}};
    const std::string where =
        Utils::i18n_format(system ? _("system manifest {1}") : _("per-user manifest {1}"), {Shorten(path)});
    auto problem = [&](const std::string& what, const std::string& advice) {
        finding.status = Status::Problem;
        finding.text = where + " " + what;
        finding.advice = advice;
        return finding;
    };
#ifdef _WIN32
    const std::string reinstall =
        system ? _("Install the host again (its .msi).")
               : _("Remove the file and its key, or register it again with veldra-install-host.");
#else
    const std::string reinstall = system ? _("Reinstall the package (apt-get install --reinstall veldra-native-host).")
                                         : _("Remove the file, or write it again with install-host.");
#endif
    std::string text, error;
    if (!ReadSmallFile(path, text, error)) return problem(error, reinstall);
    JsonValue manifest;
    if (!json_value_parse(text, manifest, error))
        return problem(Utils::i18n_format(_("is not valid JSON: {1}"), {error}), reinstall);
    if (manifest.kind != JsonValue::Kind::Object) return problem(_("is not a JSON object"), reinstall);

    const JsonValue* name = manifest.member("name");
    if (!name || name->kind != JsonValue::Kind::String || name->text != VELDRA_HOST_NAME)
        return problem(Utils::i18n_format(_("does not have \"name\": \"{1}\", the name the extension asks for"),
                                          {VELDRA_HOST_NAME}),
                       reinstall);
    const JsonValue* type = manifest.member("type");
    if (!type || type->kind != JsonValue::Kind::String || type->text != "stdio")
        return problem(_("does not have \"type\": \"stdio\""), reinstall);

    // Who may start the host.
    const char* listName = kind == ManifestKind::Chrome ? "allowed_origins" : "allowed_extensions";
    const JsonValue* list = manifest.member(listName);
    if (!list || list->kind != JsonValue::Kind::Array || list->items.empty())
        return problem(Utils::i18n_format(_("has no list \"{1}\" of extensions"), {listName}), reinstall);
    std::string firstId;
    for (const JsonValue& item : list->items) {
        const bool good = item.kind == JsonValue::Kind::String &&
                          (kind == ManifestKind::Chrome ? IsChromeOrigin(item.text) : IsFirefoxExtensionId(item.text));
        if (!good) {
            const std::string shown =
                item.kind == JsonValue::Kind::String ? QuotedExcerpt(item.text) : std::string(_("an entry"));
            return problem(Utils::i18n_format(
                               kind == ManifestKind::Chrome
                                   ? _("lists {1} in \"{2}\", which is not an origin "
                                       "chrome-extension://<32 letters a to p>/: the browser ignores the whole file")
                                   : _("lists {1} in \"{2}\", which is not an add-on id (name@example.org or "
                                       "{GUID}): the browser ignores the whole file"),
                               {shown, listName}),
                           reinstall);
        }
        if (firstId.empty()) firstId = item.text;
        if (finding.details.size() < kListedExtensions)
            finding.details.push_back(Utils::i18n_format(_("may start the host: {1}"), {item.text}));
    }
    if (list->items.size() > kListedExtensions)
        finding.details.push_back(
            Utils::i18n_format(_("and {1} more"), {std::to_string(list->items.size() - kListedExtensions)}));

    // The program it names, started as the browser starts it.
    const JsonValue* program = manifest.member("path");
    if (!program || program->kind != JsonValue::Kind::String || program->text.empty())
        return problem(_("has no \"path\" of the host"), reinstall);
    const std::string host = Resolve(path, program->text);
    if (host.empty())
        return problem(Utils::i18n_format(
                           _("names the host by a relative path ({1}): browsers on this system need an absolute one"),
                           {program->text}),
                       reinstall);
    switch (Examine(host)) {
    case ProgramFile::Missing:
        return problem(Utils::i18n_format(_("names {1}, which does not exist"), {host}), reinstall);
    case ProgramFile::NotExecutable:
        return problem(Utils::i18n_format(_("names {1}, which is not an executable file"), {host}),
                       Utils::i18n_format(_("Make it executable (chmod 755 {1}) or reinstall the host."), {host}));
    case ProgramFile::Executable: break;
    }
    const std::vector<std::string> args =
        kind == ManifestKind::Chrome ? std::vector<std::string>{firstId} : std::vector<std::string>{path, firstId};
    const HostAnswer answer = QueryHost(host, args);
    if (!answer.answered)
        return problem(Utils::i18n_format(_("names {1}, which does not answer GET_INFO: {2}"), {host, answer.error}),
                       reinstall);
    finding.text = answer.binVersion.empty()
                       ? Utils::i18n_format(_("{1}: {2} answers, version {3}"), {where, host, answer.version})
                       : Utils::i18n_format(_("{1}: {2} answers, version {3} (program {4})"),
                                            {where, host, answer.version, answer.binVersion});
    return finding;
}

}  // namespace Doctor
