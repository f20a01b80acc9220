#include "appstate.h"

#include <cstring>
#include <stdexcept>
#include <vector>

#include <openssl/rand.h>

#include "appstate_platform.h"
#include "base64.h"
#include "i18n.h"
#include "secret.h"

namespace {

[[noreturn]] void fail(const std::string& text) { throw std::runtime_error(text); }

void wipe_entries(std::map<std::string, std::string>& entries) {
    for (auto& [name, value] : entries) Utils::wipe(value);
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
        wipe_entries(entries);
        throw;
    }
    wipe_entries(entries);
    const bool sized = decoded.size() == MASTER_KEY_LENGTH;
    if (sized) std::memcpy(key, decoded.data(), MASTER_KEY_LENGTH);
    Utils::wipe(decoded);
    if (!sized) fail("invalid master key length");
    return true;
}

void store_new_key(const std::string& folder, uint8_t (&key)[MASTER_KEY_LENGTH]) {
    if (RAND_bytes(key, MASTER_KEY_LENGTH) != 1) fail("error generating master key");
    std::string line = "key=" + base64_encode(key, MASTER_KEY_LENGTH);
    try {
        appstate_store_text(folder, line);
    } catch (...) {
        Utils::wipe(line);
        throw;
    }
    Utils::wipe(line);
}

}  // namespace

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
    std::string text = appstate_read_text(folder);
    auto entries = parse_appstate(text);
    Utils::wipe(text);
    return entries;
}

void load_master_key(uint8_t (&key)[MASTER_KEY_LENGTH]) {
    const std::string folder = appstate_directory();
    if (read_key(folder, key)) return;
    AppStateLock lock(folder);
    if (read_key(folder, key)) return;  // another process stored one meanwhile
    store_new_key(folder, key);
}

AppStateInspection inspect_appstate() {
    AppStateInspection inspection;
    try {
        inspection.folder = appstate_directory();
    } catch (const std::exception& e) {
        inspection.folderFinding = {AppStateFinding::Verdict::Refused, e.what()};
        inspection.fileFinding = {AppStateFinding::Verdict::Missing, _("no state file without a folder")};
        return inspection;
    }
    appstate_inspect_entries(inspection);
    return inspection;
}
