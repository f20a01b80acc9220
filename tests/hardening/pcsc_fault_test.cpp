// Faults of the PC/SC stack, end to end: the host against pcscd with the virtual readers while
// pcscd goes away, a card is pulled, another process holds the card, or ten hosts share one card.
// Each request ends with one frame of valid JSON and exit code 0 within its time limit, and no
// host or helper process is left behind. Runs under "scripts/virtual-reader run --no-card".
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "hardening_pcsc.h"

using namespace hardening;

namespace {

// A process of ours that prints a line when it is ready; killed by its PID when still running.
class Helper {
public:
    explicit Helper(const std::vector<std::string>& argv) {
        int pipeFds[2];
        if (pipe(pipeFds) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(pipeFds[1], 1);
            close(pipeFds[0]);
            close(pipeFds[1]);
            std::vector<char*> args;
            for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        close(pipeFds[1]);
        out_ = pipeFds[0];
    }
    ~Helper() {
        if (pid_ > 0 && !waited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
    }
    // The first line it writes ("" when it ends first).
    std::string line() {
        std::string text;
        char c;
        while (read(out_, &c, 1) == 1 && c != '\n') text.push_back(c);
        return text;
    }
    int wait() {
        int status = 0;
        waitpid(pid_, &status, 0);
        waited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    bool waited_ = false;
};

const std::string SIGN_HASH(64, 'a');

}  // namespace

TEST_F(PcscTest, PcscdStoppedBeforeARequest) {
    ASSERT_EQ(virtual_reader({"stop"}), 0);
    for (const std::string cmd : {"READ_FILE", "VERIFY_PIN", "COMPUTE_SIGNATURE", "PIN_PAD_AVAILABLE"}) {
        const auto a = ask(R"({"cmd":")" + cmd + R"(","reader":")" + PLAIN + R"(","fileId":"3F00DF005039","pin":")" +
                           CARD_PIN + R"(","hash":")" + SIGN_HASH + R"("})");
        EXPECT_EQ(a.code(), 99) << cmd << ": " << a.text;
        EXPECT_NE(a.message().find("SCardEstablishContext"), std::string::npos) << cmd << ": " << a.text;
        EXPECT_LT(a.run.elapsed.count(), 5000) << cmd;
    }
    const auto readers = ask(R"({"cmd":"GET_READERS"})");
    EXPECT_TRUE(readers.error()) << readers.text;
    EXPECT_LT(readers.run.elapsed.count(), 5000);
    ASSERT_EQ(virtual_reader({"start", "--no-card"}), 0);
    insert("plain", {"--pin", CARD_PIN});
    EXPECT_FALSE(ask(R"({"cmd":"READ_FILE","reader":")" + PLAIN + R"(","fileId":"3F00DF005039"})").error());
}

TEST_F(PcscTest, PcscdStoppedDuringComputeSignature) {
    insert("plain", {"--pin", CARD_PIN});
    const PinentryGate gate(home.path(), CARD_PIN);
    auto pending = std::async(std::launch::async, [&] {
        return ask(R"({"cmd":"COMPUTE_SIGNATURE","reader":")" + PLAIN + R"(","hash":")" + SIGN_HASH + R"("})",
                   gate.options());
    });
    ASSERT_TRUE(gate.wait_asked(std::chrono::seconds(20))) << "the PIN dialog never opened";
    // The card and pcscd go away while the user types the PIN.
    ASSERT_EQ(virtual_reader({"stop"}), 0);
    gate.open();
    const auto a = pending.get();
    EXPECT_TRUE(a.error()) << a.text;
    EXPECT_LT(a.run.elapsed.count(), 15000);
    ASSERT_EQ(virtual_reader({"start", "--no-card"}), 0);
}

TEST_F(PcscTest, CardRemovedDuringReadFileOfACertificate) {
    // The card drops out of the reader at its fourth command (the probe takes two: SELECT and one
    // READ BINARY of the token information's head; then the certificate's SELECT): at its first chunk.
    insert("plain", {"--pin", CARD_PIN, "--drop-on", "4"});
    const auto a = ask(R"({"cmd":"READ_FILE","reader":")" + PLAIN + R"(","fileId":"3F00DF005039"})");
    EXPECT_TRUE(a.error()) << a.text;
    EXPECT_LT(a.run.elapsed.count(), 10000);
    std::ifstream log(vr_dir() + "/card-plain.apdu.log");
    std::stringstream commands;
    commands << log.rdbuf();
    EXPECT_NE(commands.str().find("pulled out"), std::string::npos) << commands.str();
    EXPECT_NE(commands.str().find("C 00B0"), std::string::npos)
        << "no READ BINARY before the card went: " << commands.str();
    // A new card in the same reader is read in full: nothing of the old one is left open.
    remove("plain");
    insert("plain", {"--pin", CARD_PIN});
    const auto again = ask(R"({"cmd":"READ_FILE","reader":")" + PLAIN + R"(","fileId":"3F00DF005039"})");
    ASSERT_FALSE(again.error()) << again.text;
    EXPECT_GT(again.json["data"].get<std::string>().size(), 1000u);
}

TEST_F(PcscTest, SecondProcessHoldingATransaction) {
    insert("plain", {"--pin", CARD_PIN});
    const std::string read = R"({"cmd":"READ_FILE","reader":")" + PLAIN + R"(","fileId":"3F00DF014031"})";
    {
        // Held for 3 s: the request waits for it and then succeeds.
        Helper holder({bin_dir() + "/pcsc_hold", PLAIN, "3000"});
        ASSERT_EQ(holder.line(), "held");
        const auto a = ask(read);
        EXPECT_FALSE(a.error()) << a.text;
        EXPECT_GE(a.run.elapsed.count(), 2000);
        EXPECT_EQ(holder.wait(), 0);
    }
    {
        // Held past the request's 10-second limit: the time-out answer, in time, and exit code 0.
        Helper holder({bin_dir() + "/pcsc_hold", PLAIN, "14000"});
        ASSERT_EQ(holder.line(), "held");
        const auto a = ask(read);
        EXPECT_EQ(a.code(), 14) << a.text;
        EXPECT_GE(a.run.elapsed.count(), 9500);
        EXPECT_LT(a.run.elapsed.count(), 13000);
        EXPECT_EQ(holder.wait(), 0);
    }
    EXPECT_FALSE(ask(read).error()) << "the card stays usable";
}

TEST_F(PcscTest, TenHostsAtOnceOnOneCard) {
    insert("plain", {"--pin", CARD_PIN});
    std::vector<std::future<HostAnswer>> runs;
    for (int i = 0; i < 10; ++i) {
        const std::string json =
            i % 2 ? R"({"cmd":"READ_FILE","reader":")" + PLAIN + R"(","fileId":"3F00DF005039"})"
                  : R"({"cmd":"VERIFY_PIN","reader":")" + PLAIN + R"(","pin":")" + CARD_PIN + R"("})";
        runs.push_back(std::async(std::launch::async, [this, json] { return ask(json); }));
    }
    for (auto& run : runs) {
        const auto a = run.get();
        EXPECT_FALSE(a.error()) << a.text;
        EXPECT_TRUE(a.json.contains("data") || a.json.value("pinValid", false)) << a.text;
    }
}

// Signatures and authentications side by side on one card: each succeeds, with the key that was
// asked for. The card's signature sequence (MSE SET, VERIFY, PSO) holds one PC/SC transaction;
// without it another host's MSE SET in between made the card sign with the other key.
TEST_F(PcscTest, ConcurrentSignaturesNeverSignWithTheOtherKey) {
    insert("plain", {"--pin", CARD_PIN});
    const auto signatureCert = certificate_of("plain", "signature");
    const auto authenticationCert = certificate_of("plain", "authentication");
    ASSERT_FALSE(signatureCert.empty());
    ASSERT_FALSE(authenticationCert.empty());
    std::vector<std::future<HostAnswer>> runs;
    for (int i = 0; i < 10; ++i) {
        const std::string cmd = i % 2 ? "COMPUTE_AUTHENTICATION" : "COMPUTE_SIGNATURE";
        const std::string json = R"({"cmd":")" + cmd + R"(","reader":")" + PLAIN + R"(","pin":")" + CARD_PIN +
                                 R"(","hash":")" + SIGN_HASH + R"("})";
        runs.push_back(std::async(std::launch::async, [this, json] { return ask(json); }));
    }
    for (int i = 0; i < 10; ++i) {
        const auto a = runs[i].get();
        ASSERT_FALSE(a.error()) << i << ": " << a.text;
        const auto signature = from_hex(a.json["signature"].get<std::string>());
        const auto& asked = i % 2 ? authenticationCert : signatureCert;
        const auto& other = i % 2 ? signatureCert : authenticationCert;
        EXPECT_TRUE(verifies_sha256(asked, from_hex(SIGN_HASH), signature)) << i << ": " << a.text;
        EXPECT_FALSE(verifies_sha256(other, from_hex(SIGN_HASH), signature)) << i << ": signed with the other key";
    }
}

// A signature on the T=0 card costs 13 APDUs: the token information's head (SELECT, READ BINARY),
// the whole signature certificate for the eIDAS 2.0 rule (SELECT, four READ BINARY of 256 bytes,
// one answered 6Cxx and its repetition for the rest), MSE SET, VERIFY, PSO and its GET RESPONSE. A
// card that answers more than its key can make is refused.
TEST_F(PcscTest, ASignatureInThirteenApdusAndNoneLongerThanTheKey) {
    const std::string request = R"({"cmd":"COMPUTE_SIGNATURE","reader":")" + PLAIN + R"(","pin":")" + CARD_PIN +
                                R"(","hash":")" + SIGN_HASH + R"("})";
    const auto commands_since = [](size_t offset) {
        std::ifstream log(vr_dir() + "/card-plain.apdu.log");
        std::stringstream text;
        text << log.rdbuf();
        std::istringstream lines(text.str().substr(std::min(offset, text.str().size())));
        int count = 0;
        for (std::string line; std::getline(lines, line);) count += line.rfind("C ", 0) == 0;
        return count;
    };
    const auto log_size = [] {
        return static_cast<size_t>(std::filesystem::file_size(vr_dir() + "/card-plain.apdu.log"));
    };
    insert("plain", {"--pin", CARD_PIN});
    size_t before = log_size();
    const auto signed_ = ask(request);
    EXPECT_TRUE(signed_.json.contains("signature")) << signed_.text;
    EXPECT_LE(commands_since(before), 13);

    remove("plain");
    insert("plain", {"--pin", CARD_PIN, "--signature-extra", "4000"});
    const auto longer = ask(request);
    EXPECT_EQ(longer.code(), 8) << longer.text;
    EXPECT_FALSE(longer.json.contains("signature")) << longer.text;
}
