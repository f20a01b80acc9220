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

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

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

int virtual_reader(const std::vector<std::string>& args) {
    std::string command = quoted(std::string(VELDRA_SOURCE_DIR) + "/scripts/virtual-reader");
    for (const auto& a : args) command += " " + quoted(a);
    return std::system((command + " >&2").c_str());
}

std::string vr_dir() {
    const char* dir = std::getenv("VELDRA_VR_DIR");
    return dir ? dir : std::string(VELDRA_SOURCE_DIR) + "/build/virtual-reader";
}

std::string bin_dir() { return hosttest::bin_dir(); }

std::vector<uint8_t> certificate_of(const std::string& reader, const std::string& name) {
    const std::string path = vr_dir() + "/pem-" + reader + "/" + name + ".pem";
    std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "r"), std::fclose);
    if (!file) return {};
    std::unique_ptr<X509, decltype(&X509_free)> certificate(PEM_read_X509(file.get(), nullptr, nullptr, nullptr),
                                                            X509_free);
    if (!certificate) return {};
    unsigned char* der = nullptr;
    const int length = i2d_X509(certificate.get(), &der);
    std::vector<uint8_t> out(der, der + (length > 0 ? length : 0));
    OPENSSL_free(der);
    return out;
}

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
           "  GETPIN*) : > " << quoted(dir_ + "/asked") << "\n"
           "    for _ in $(seq 200); do [ -e " << quoted(dir_ + "/go") << " ] && break; sleep 0.1; done\n"
           "    echo 'D " << pin << "'; echo OK ;;\n"
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
    for (const auto& reader : inserted_) virtual_reader({"remove", reader});
    inserted_.clear();
    EXPECT_TRUE(adoptsOrphans);
    EXPECT_EQ(leftover_processes(), std::vector<std::string>{});
    while (waitpid(-1, nullptr, WNOHANG) > 0) {  // adopted processes that have ended
    }
}

void PcscTest::insert(const std::string& reader, const std::vector<std::string>& options) {
    std::vector<std::string> args{"insert", reader};
    args.insert(args.end(), options.begin(), options.end());
    ASSERT_EQ(virtual_reader(args), 0) << "inserting a card in the " << reader << " reader";
    inserted_.push_back(reader);
}

void PcscTest::remove(const std::string& reader) {
    ASSERT_EQ(virtual_reader({"remove", reader}), 0);
    std::erase(inserted_, reader);
}

HostAnswer PcscTest::ask(const std::string& json, const hosttest::HostOptions& extra) {
    hosttest::HostOptions options = extra;
    options.env.emplace("HOME", home.path());
    options.env.emplace("XDG_DATA_HOME", home.path());
    options.unset_env.push_back("WAYLAND_DISPLAY");
    if (!options.env.count("DISPLAY")) options.unset_env.push_back("DISPLAY");
    options.limit = std::chrono::milliseconds(40000);
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
