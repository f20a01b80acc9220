#include "hardening_pcsc.h"

#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace hardening {
namespace {

using hosttest::shell_quoted;

// The test process adopts the orphans of the processes it starts (a pinentry whose host has
// exited, say), so that one still running is found among its own children.
const bool adoptsOrphans = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;

std::string read_text(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Hosts, helpers and PIN dialogs among this process's children that are still running.
std::vector<std::string> leftover_processes() {
    std::vector<std::string> found;
    const std::string programs[] = {hosttest::host_path(), bin_dir() + "/pcsc_hold"};
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string stat = read_text(entry.path() / "stat");
        const size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(stat.substr(close + 2));
        char state = 0;
        long parent = 0;
        rest >> state >> parent;
        if (parent != getpid() || state == 'Z') continue;
        std::error_code ec;
        const std::string exe = std::filesystem::read_symlink(entry.path() / "exe", ec).string();
        std::string command = read_text(entry.path() / "cmdline");
        std::replace(command.begin(), command.end(), '\0', ' ');
        const bool ours = std::find(std::begin(programs), std::end(programs), exe) != std::end(programs) ||
                          command.find("pinentry") != std::string::npos;
        if (ours) found.push_back(entry.path().filename().string() + " " + command);
    }
    return found;
}

}  // namespace

std::string bin_dir() { return hosttest::bin_dir(); }

std::vector<uint8_t> from_hex(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

bool verifies_sha256(const std::vector<uint8_t>& certificateDer, const std::vector<uint8_t>& hash,
                     const std::vector<uint8_t>& signature) {
    const unsigned char* p = certificateDer.data();
    std::unique_ptr<X509, decltype(&X509_free)> certificate(
        d2i_X509(nullptr, &p, static_cast<long>(certificateDer.size())), X509_free);
    if (!certificate) return false;
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(X509_get_pubkey(certificate.get()), EVP_PKEY_free);
    if (!key) return false;
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(key.get(), nullptr),
                                                                    EVP_PKEY_CTX_free);
    if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) != 1)
        return false;
    return EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), hash.data(), hash.size()) == 1;
}

PinentryGate::PinentryGate(const std::string& folder, const std::string& pin) : dir_(folder + "/gate") {
    std::filesystem::create_directories(dir_);
    const std::string script = dir_ + "/pinentry";
    std::ofstream out(script);
    out << "#!/bin/bash\n"
           "# Answers like pinentry; GETPIN tells the test and waits for it (20 s at most).\n"
           "echo 'OK Pleased to meet you'\n"
           "while IFS= read -r line; do\n"
           "  case \"$line\" in\n"
           "  GETPIN*) : > "
        << shell_quoted(dir_ + "/asked")
        << "\n"
           "    for _ in $(seq 200); do [ -e "
        << shell_quoted(dir_ + "/go")
        << " ] && break; sleep 0.1; done\n"
           "    echo 'D "
        << pin
        << "'; echo OK ;;\n"
           "  'GETINFO flavor'*) echo 'D gtk2'; echo OK ;;\n"
           "  'GETINFO pid'*) echo \"D $$\"; echo OK ;;\n"
           "  BYE*) echo OK; exit 0 ;;\n"
           "  *) echo OK ;;\n"
           "  esac\n"
           "done\n";
    out.close();
    chmod(script.c_str(), 0755);
}

hosttest::HostOptions PinentryGate::options() const {
    hosttest::HostOptions o;
    o.env["PATH"] = dir_ + ":/usr/bin:/bin";
    o.env["DISPLAY"] = ":0";
    return o;
}

bool PinentryGate::wait_asked(std::chrono::milliseconds limit) const {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (std::filesystem::exists(dir_ + "/asked")) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

void PinentryGate::open() const { std::ofstream(dir_ + "/go").put('\n'); }

void PcscTest::TearDown() {
    cards_.remove_all();
    EXPECT_TRUE(adoptsOrphans);
    EXPECT_EQ(leftover_processes(), std::vector<std::string>{});
    while (waitpid(-1, nullptr, WNOHANG) > 0) {  // adopted processes that have ended
    }
}

HostAnswer PcscTest::ask(const std::string& json, const hosttest::HostOptions& extra) {
    hosttest::HostOptions options = extra;
    options.env.emplace("HOME", home.path());
    options.env.emplace("XDG_DATA_HOME", home.path());
    options.unset_env.push_back("WAYLAND_DISPLAY");
    if (!options.env.count("DISPLAY")) options.unset_env.push_back("DISPLAY");
    options.limit = std::chrono::milliseconds(40000);
    hosttest::use_windows_host(options);  // scripts/windows-test: the Windows host under Wine
    HostAnswer answer;
    answer.run = hosttest::run_host(hosttest::frame(json), options);
    EXPECT_EQ(answer.run.exit_code, 0) << answer.run.err;
    EXPECT_FALSE(answer.run.timed_out);
    const auto text = answer.run.answer();
    EXPECT_TRUE(text.has_value()) << "not one frame: " << answer.run.out.size() << " bytes";
    answer.text = text.value_or("");
    try {
        answer.json = nlohmann::json::parse(answer.text);
    } catch (const std::exception& e) {
        ADD_FAILURE() << "not JSON: " << e.what() << "\n" << answer.text;
    }
    return answer;
}

}  // namespace hardening
