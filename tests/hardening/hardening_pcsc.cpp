#include "hardening_pcsc.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace hardening {
namespace {

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Processes of this build's host and helpers still running.
std::vector<std::string> leftover_processes() {
    std::vector<std::string> found;
    const std::string programs[] = {hosttest::host_path(), bin_dir() + "/pcsc_hold"};
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::error_code ec;
        const auto exe = std::filesystem::read_symlink(entry.path() / "exe", ec);
        if (ec) continue;
        for (const auto& program : programs)
            if (exe == program) found.push_back(entry.path().filename().string() + " " + program);
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
    EXPECT_EQ(leftover_processes(), std::vector<std::string>{});
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
