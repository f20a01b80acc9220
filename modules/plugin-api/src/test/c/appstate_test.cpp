#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>

#include "appstate.h"
#include "base64.h"

namespace fs = std::filesystem;

namespace {

class AppState : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/veldra-appstate-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        data_ = root_ + "/deep/data";
        setenv("XDG_DATA_HOME", data_.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("XDG_DATA_HOME");
        fs::remove_all(root_);
    }
    std::string folder() const { return data_ + "/Veldra"; }
    std::string file() const { return folder() + "/appstate"; }
    static mode_t mode_of(const std::string& path) {
        struct stat info {};
        EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
        return info.st_mode & 07777;
    }
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
    std::string root_, data_;
};

}  // namespace

TEST_F(AppState, FirstUseCreatesPrivateFolderChainAndKeyLaterUsesReadIt) {
    EXPECT_EQ(appstate_directory(), folder());
    uint8_t first[MASTER_KEY_LENGTH], second[MASTER_KEY_LENGTH];
    load_master_key(first);
    EXPECT_EQ(mode_of(data_), 0700u);
    EXPECT_EQ(mode_of(folder()), 0700u);
    EXPECT_EQ(mode_of(file()), 0600u);
    const std::string text = read(file());
    EXPECT_EQ(text.size(), 48u);
    EXPECT_EQ(text, "key=" + key_text(first));
    load_master_key(second);
    EXPECT_EQ(std::memcmp(first, second, MASTER_KEY_LENGTH), 0);
}

TEST_F(AppState, WiderModesAreRepairedOnTheNextUse) {
    uint8_t key[MASTER_KEY_LENGTH];
    load_master_key(key);
    chmod(folder().c_str(), 0755);
    chmod(file().c_str(), 0644);
    load_master_key(key);
    EXPECT_EQ(mode_of(folder()), 0700u);
    EXPECT_EQ(mode_of(file()), 0600u);
}

TEST_F(AppState, SymlinkAtTheFileIsRefusedNeverFollowed) {
    fs::create_directories(folder());
    const std::string target = root_ + "/elsewhere";
    write(target, "key=" + std::string(43, 'A') + "=");
    chmod(target.c_str(), 0644);
    fs::create_symlink(target, file());
    uint8_t key[MASTER_KEY_LENGTH];
    EXPECT_THROW(load_master_key(key), std::runtime_error);
    EXPECT_EQ(mode_of(target), 0644u);
    EXPECT_TRUE(fs::is_symlink(file()));
}

TEST_F(AppState, KeyLineWithCarriageReturnHasAnInvalidLength) {
    fs::create_directories(folder());
    write(file(), "key=" + base64_encode(std::vector<uint8_t>(32, 7)) + "\r\n");
    uint8_t key[MASTER_KEY_LENGTH];
    try {
        load_master_key(key);
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "invalid base64 length");
    }
}

TEST_F(AppState, KeyOfTheWrongSizeIsAnErrorNotAShortKey) {
    fs::create_directories(folder());
    write(file(), "key=" + base64_encode(std::vector<uint8_t>(16, 7)));
    uint8_t key[MASTER_KEY_LENGTH];
    EXPECT_THROW(load_master_key(key), std::runtime_error);
}

TEST_F(AppState, FileWithoutKeyIsReplacedByTheKeyLineAlone) {
    fs::create_directories(folder());
    write(file(), "other=1\n");
    uint8_t key[MASTER_KEY_LENGTH];
    load_master_key(key);
    EXPECT_EQ(read(file()), "key=" + key_text(key));
}

TEST(AppStateFormat, LinesSplitAtTheFirstEqualsFirstNameWins) {
    const auto entries = parse_appstate("a=b=c\nnoequals\n\nkey=one\nkey=two\nx=\r");
    EXPECT_EQ(entries.at("a"), "b=c");
    EXPECT_EQ(entries.at("key"), "one");
    EXPECT_EQ(entries.at("x"), "\r");
    EXPECT_EQ(entries.count("noequals"), 0u);
}

TEST_F(AppState, TenProcessesStartingAtOnceEndUpWithOneKey) {
    constexpr int N = 10;
    int fds[N][2];
    pid_t pids[N];
    for (int i = 0; i < N; ++i) {
        ASSERT_EQ(pipe(fds[i]), 0);
        pids[i] = fork();
        ASSERT_GE(pids[i], 0);
        if (pids[i] == 0) {
            uint8_t key[MASTER_KEY_LENGTH];
            std::string text;
            try {
                load_master_key(key);
                text = key_text(key);
            } catch (const std::exception& e) {
                text = std::string("error: ") + e.what();
            }
            (void)!::write(fds[i][1], text.data(), text.size());
            _exit(0);
        }
        close(fds[i][1]);
    }
    std::set<std::string> keys;
    for (int i = 0; i < N; ++i) {
        char buffer[128] = {};
        const ssize_t n = ::read(fds[i][0], buffer, sizeof buffer - 1);
        close(fds[i][0]);
        waitpid(pids[i], nullptr, 0);
        keys.insert(std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0));
    }
    ASSERT_EQ(keys.size(), 1u) << *keys.begin();
    EXPECT_EQ("key=" + *keys.begin(), read(file()));
}
