// The Windows state store under the user's local application data. Wine keeps no DACLs (it maps
// them onto mode bits), so the ACL is checked as the code builds and judges it, not on the file.
#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <knownfolders.h>
#include <sddl.h>
#include <shlobj.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "appstate.h"
#include "appstate_win.h"
#include "base64.h"
#include "state_home.h"

namespace fs = std::filesystem;

namespace {

class AppStateWin : public testing::Test {
protected:
    std::string folder() const { return home_.root() + "\\Veldra"; }
    std::string file() const { return folder() + "\\appstate"; }
    static std::string read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static void write(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    static std::string key_text(const uint8_t (&key)[MASTER_KEY_LENGTH]) {
        return base64_encode(key, MASTER_KEY_LENGTH);
    }
    static std::string error_of(void (*action)()) {
        try {
            action();
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "no error";
    }
    StateHome home_;
};

std::vector<uint8_t> sid_of(const char* text) {
    PSID sid = nullptr;
    EXPECT_TRUE(ConvertStringSidToSidA(text, &sid));
    std::vector<uint8_t> copy(static_cast<const uint8_t*>(sid), static_cast<const uint8_t*>(sid) + GetLengthSid(sid));
    LocalFree(sid);
    return copy;
}

// An ACL with the given entries, as another program (or an inherited default) might leave it.
LocalAcl acl_of(const std::vector<std::pair<PSID, DWORD>>& entries, ACCESS_MODE mode = SET_ACCESS) {
    std::vector<EXPLICIT_ACCESS_W> access(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        access[i].grfAccessPermissions = entries[i].second;
        access[i].grfAccessMode = mode;
        access[i].grfInheritance = NO_INHERITANCE;
        access[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
        access[i].Trustee.TrusteeType = TRUSTEE_IS_USER;
        access[i].Trustee.ptstrName = static_cast<LPWSTR>(entries[i].first);
    }
    PACL acl = nullptr;
    EXPECT_EQ(SetEntriesInAclW(static_cast<ULONG>(access.size()), access.data(), nullptr, &acl),
              static_cast<DWORD>(ERROR_SUCCESS));
    return LocalAcl(acl);
}

}  // namespace

TEST_F(AppStateWin, FolderIsVeldraUnderLocalAppDataInUtf8) {
    EXPECT_EQ(appstate_directory(), home_.root() + "\\Veldra");
    // A non-ASCII base folder comes back as UTF-8.
    const std::string base = home_.root() + "\\d\xC3\xA9j\xC3\xA0";
    fs::create_directories(fs::u8path(base));
    home_.point_at(base);
    EXPECT_EQ(appstate_directory(), base + "\\Veldra");
}

TEST_F(AppStateWin, FirstUseWritesTheKeyLineLaterUsesReadIt) {
    uint8_t first[MASTER_KEY_LENGTH], second[MASTER_KEY_LENGTH];
    load_master_key(first);
    const std::string text = read(file());
    EXPECT_EQ(text.size(), 48u);
    EXPECT_EQ(text, "key=" + key_text(first));
    load_master_key(second);
    EXPECT_EQ(std::memcmp(first, second, MASTER_KEY_LENGTH), 0);
    // No temporary file is left behind.
    for (const auto& entry : fs::directory_iterator(folder()))
        EXPECT_TRUE(entry.path().filename() == "appstate" || entry.path().filename() == ".appstate.lock")
            << entry.path().string();
}

TEST_F(AppStateWin, MissingFolderChainIsCreated) {
    const std::string base = home_.root() + "\\one\\two";
    fs::create_directories(base);
    home_.point_at(base);
    fs::remove_all(base);
    ensure_appstate_file(base + "\\Veldra");
    EXPECT_TRUE(fs::is_directory(base + "\\Veldra"));
}

TEST_F(AppStateWin, FileInPlaceOfAFolderFailsWithThePrefix) {
    write(home_.root() + "\\blocker", "x");
    try {
        ensure_appstate_file(home_.root() + "\\blocker\\Veldra");
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "failed to create directory " + home_.root() + "\\blocker\\Veldra");
    }
}

TEST_F(AppStateWin, KeyLineWithCarriageReturnHasAnInvalidLength) {
    fs::create_directories(folder());
    write(file(), "key=" + base64_encode(std::vector<uint8_t>(32, 7)) + "\r\n");
    EXPECT_EQ(error_of([] {
                  uint8_t key[MASTER_KEY_LENGTH];
                  load_master_key(key);
              }),
              "invalid base64 length");
}

TEST_F(AppStateWin, FileWithoutKeyIsReplacedByTheKeyLineAlone) {
    fs::create_directories(folder());
    write(file(), "other=1\n");
    uint8_t key[MASTER_KEY_LENGTH];
    load_master_key(key);
    EXPECT_EQ(read(file()), "key=" + key_text(key));
}

TEST_F(AppStateWin, KeyOfTheWrongSizeIsAnErrorNotAShortKey) {
    fs::create_directories(folder());
    write(file(), "key=" + base64_encode(std::vector<uint8_t>(16, 7)));
    EXPECT_EQ(error_of([] {
                  uint8_t key[MASTER_KEY_LENGTH];
                  load_master_key(key);
              }),
              "invalid master key length");
}

TEST_F(AppStateWin, ProcessesStartingAtOnceEndUpWithOneKey) {
    // Threads stand in for processes: each load opens, locks and reads the files on its own.
    constexpr int N = 8;
    std::vector<std::string> keys(N);
    std::vector<std::thread> threads;
    for (int i = 0; i < N; ++i)
        threads.emplace_back([&keys, i] {
            uint8_t key[MASTER_KEY_LENGTH];
            try {
                load_master_key(key);
                keys[i] = base64_encode(key, MASTER_KEY_LENGTH);
            } catch (const std::exception& e) {
                keys[i] = std::string("error: ") + e.what();
            }
        });
    for (auto& t : threads) t.join();
    for (const auto& k : keys) EXPECT_EQ(k, keys[0]);
    EXPECT_EQ(read(file()), "key=" + keys[0]);
}

TEST(AppStateAcl, BuiltAclIsOneAllowEntryForTheUserWithTheFileRights) {
    auto sid = appstate_current_user_sid();
    ASSERT_TRUE(IsValidSid(sid.data()));
    LocalAcl acl = appstate_build_owner_only_acl(sid.data());
    ASSERT_TRUE(acl);
    ASSERT_EQ(acl->AceCount, 1);
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(acl.get(), 0, &ace));
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(allowed->Header.AceFlags, 0);  // no inheritance
    EXPECT_EQ(allowed->Mask, 0x0013019Fu);
    EXPECT_TRUE(EqualSid(const_cast<DWORD*>(&allowed->SidStart), sid.data()));
    EXPECT_TRUE(appstate_owner_only_acl_accepted(acl.get(), sid.data()));
}

TEST(AppStateAcl, OnlyTheSingleOwnerEntryWithReadAndWriteIsAccepted) {
    auto user = appstate_current_user_sid();
    auto everyone = sid_of("S-1-1-0");
    auto system = sid_of("S-1-5-18");
    EXPECT_FALSE(appstate_owner_only_acl_accepted(nullptr, user.data()));
    // Widened: a second entry, as the file's inherited default would have.
    EXPECT_FALSE(appstate_owner_only_acl_accepted(
        acl_of({{user.data(), 0x0013019F}, {system.data(), GENERIC_ALL}}).get(), user.data()));
    EXPECT_FALSE(appstate_owner_only_acl_accepted(acl_of({{everyone.data(), 0x0013019F}}).get(), user.data()));
    // The owner's entry without write rights, or as a deny entry.
    EXPECT_FALSE(appstate_owner_only_acl_accepted(acl_of({{user.data(), 0x00120089}}).get(), user.data()));
    EXPECT_FALSE(appstate_owner_only_acl_accepted(acl_of({{user.data(), 0x0013019F}}, DENY_ACCESS).get(), user.data()));
    // More rights than needed are fine; exactly the required ones too.
    EXPECT_TRUE(appstate_owner_only_acl_accepted(acl_of({{user.data(), FILE_ALL_ACCESS}}).get(), user.data()));
    EXPECT_TRUE(appstate_owner_only_acl_accepted(acl_of({{user.data(), 0x0012019F}}).get(), user.data()));
}

TEST_F(AppStateWin, ApplyingTheAclToTheFileSucceeds) {
    uint8_t key[MASTER_KEY_LENGTH];
    load_master_key(key);
    EXPECT_NO_THROW(apply_owner_only_acl(fs::path(file()).wstring()));
    EXPECT_THROW(apply_owner_only_acl(fs::path(home_.root() + "\\missing\\appstate").wstring()), std::runtime_error);
}

TEST(AppStatePaths, Utf8AndUtf16RoundTrip) {
    const std::string text = "C:\\Users\\\xC3\xA9l\xC3\xA8ve\\\xE2\x82\xAC";
    EXPECT_EQ(appstate_widen(text), L"C:\\Users\\\u00e9l\u00e8ve\\\u20ac");
    EXPECT_EQ(appstate_narrow(appstate_widen(text)), text);
    EXPECT_EQ(std::string(), appstate_narrow(appstate_widen("")));
    try {
        appstate_widen("bad \xC3(");
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "MultiByteToWideChar failed");
    }
}
