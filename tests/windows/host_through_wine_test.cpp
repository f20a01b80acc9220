// veldra-native-host.exe under Wine, frames on its standard input, against the Linux host: both get
// the same bytes, both must answer the same bytes and exit 0. VELDRA_WINDOWS_HOST names the .exe;
// WINEPREFIX and DISPLAY come from scripts/windows-test.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <string>
#include <iterator>
#include <utility>
#include <vector>

#include "host_process.h"
#include "wine_host.h"

using hosttest::HostOptions;
using hosttest::HostRun;
using hosttest::run_host;
using hosttest::TempDir;

namespace {

std::string windows_host() {
    const char* path = std::getenv("VELDRA_WINDOWS_HOST");
    return path ? path : "";
}

std::string length_prefix(uint32_t n) {
    return std::string{static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                       static_cast<char>(n >> 24)};
}

class HostThroughWine : public testing::Test {
protected:
    void SetUp() override {
        if (windows_host().empty()) FAIL() << "VELDRA_WINDOWS_HOST is not set (run scripts/windows-test)";
    }
    HostOptions linux_options() const {
        HostOptions o;
        o.env["HOME"] = home_.path();
        o.unset_env = {"XDG_DATA_HOME"};
        return o;
    }
    HostOptions windows_options() const { return winetest::wine_options(windows_host()); }
    HostRun run_windows(const std::string& input, const HostOptions& options) { return run_host(input, options); }
    HostRun run_windows(const std::string& input) { return run_windows(input, windows_options()); }
    // The same input to both hosts at once; their runs, Linux first.
    std::pair<HostRun, HostRun> both(const std::string& input) {
        auto onLinux = std::async(std::launch::async, [&] { return run_host(input, linux_options()); });
        HostRun onWindows = run_windows(input);
        return {onLinux.get(), std::move(onWindows)};
    }
    void expect_same(const std::string& input, const char* what) {
        const auto [onLinux, onWindows] = both(input);
        EXPECT_EQ(onLinux.exit_code, 0) << what;
        EXPECT_EQ(onWindows.exit_code, 0) << what << "\n" << onWindows.err;
        EXPECT_FALSE(onWindows.timed_out) << what;
        EXPECT_EQ(onWindows.out, onLinux.out) << what << "\nWindows stderr:\n" << onWindows.err;
        ASSERT_TRUE(onWindows.answer().has_value()) << what;
    }
    TempDir home_;
};

}  // namespace

TEST_F(HostThroughWine, BuiltInCommandsAnswerAsOnLinux) {
    expect_same(hosttest::frame(R"({"cmd":"GET_INFO"})"), "GET_INFO");
    expect_same(hosttest::frame(R"({"cmd":"GET_INFO","debug":"true"})"), "GET_INFO with debug");
    expect_same(hosttest::frame(R"({"cmd":"NO_SUCH_COMMAND"})"), "unknown command");
    expect_same(hosttest::frame(R"({"cmd":"TIMEOUT","sleep":1,"timeout":0})"), "TIMEOUT answered");
    expect_same(hosttest::frame(R"({"cmd":"TIMEOUT","sleep":4,"timeout":1})"), "TIMEOUT by the watchdog");
}

TEST_F(HostThroughWine, BytesThatTextModeWouldChangeTravelUntouched) {
    // CR LF, a lone LF, Ctrl-Z and a NUL-free high byte inside the request; a text-mode stream would
    // shorten the frame or end it at the Ctrl-Z.
    expect_same(hosttest::frame("{\"cmd\":\"GET_INFO\",\"x\":\"a\r\nb\nc\x1a"
                                "d\xc3\xa9\"}"),
                "control bytes");
    expect_same(hosttest::frame("{\"cmd\":\"UNKNOWN\r\n\x1a\"}"), "control bytes quoted in the answer");
    expect_same(hosttest::frame(R"({"cmd":"GET_INFO"})") + "\r\n\x1a trailing bytes", "bytes after the frame");
}

TEST_F(HostThroughWine, FramingErrorsAnswerAsOnLinux) {
    expect_same(length_prefix(0), "empty text");
    expect_same(length_prefix(4194303) + "{}", "length at the bound");
    expect_same(length_prefix(0x80000010u) + "{}", "highest bit set");
    expect_same("{not json}", "text instead of a frame");
}

TEST_F(HostThroughWine, ShortInputsWaitTheReadWindowThenAnswerAsOnLinux) {
    expect_same("", "nothing on standard input");
    expect_same(length_prefix(10) + "{\"cmd\"", "declared 10 bytes, 6 sent");
}

TEST_F(HostThroughWine, PadAndSystemCommandsAnswerWithoutAPadSdk) {
    HostRun pads = run_windows(hosttest::frame(R"({"cmd":"GET_PADS"})"));
    EXPECT_EQ(pads.exit_code, 0);
    EXPECT_EQ(pads.answer(), R"({"padList": []})") << pads.err;

    HostRun system = run_windows(hosttest::frame(R"({"cmd":"GET_SYSTEM_INFO"})"));
    EXPECT_EQ(system.exit_code, 0);
    ASSERT_TRUE(system.answer().has_value()) << system.err;
    const auto answer = nlohmann::json::parse(*system.answer());
    ASSERT_TRUE(answer["deviceList"].is_array()) << *system.answer();
    for (const auto& device : answer["deviceList"]) {
        const std::string vidpid = device["vidpid"];
        EXPECT_EQ(vidpid.find(':'), 4u) << vidpid;
    }
    ASSERT_EQ(answer["packageList"].size(), 2u);
    EXPECT_EQ(answer["packageList"][0]["component"], "stepover");
    EXPECT_EQ(answer["packageList"][1]["component"], "vasco");
}

namespace {

// The fake pad SDK beside the host (veldra-fake-pad-sdk.dll) registered as the SDK's three classes
// for the scope's lifetime, in the machine's classes of the host's own view (the 32-bit one for the
// shipped program; Wine's COM looks there, not in HKCU).
class FakePadRegistration {
public:
    FakePadRegistration(const std::string& host, HostOptions options)
        : options_(std::move(options)), view_(winetest::is_64bit_program(host) ? "/reg:64" : "/reg:32") {
        const std::string dll = "Z:" + host.substr(0, host.rfind('/') + 1) + "veldra-fake-pad-sdk.dll";
        std::string windowsDll = dll;
        for (char& c : windowsDll)
            if (c == '/') c = '\\';
        for (const char* clsid : CLASSES) {
            const std::string key = std::string("HKLM\\Software\\Classes\\CLSID\\") + clsid + "\\InprocServer32";
            ok_ = ok_ && reg({"add", key, "/ve", "/d", windowsDll, "/f", view_}) &&
                  reg({"add", key, "/v", "ThreadingModel", "/d", "Apartment", "/f", view_});
        }
    }
    ~FakePadRegistration() {
        for (const char* clsid : CLASSES)
            reg({"delete", std::string("HKLM\\Software\\Classes\\CLSID\\") + clsid, "/f", view_});
    }
    bool ok() const { return ok_; }

private:
    static constexpr const char* CLASSES[] = {"{963B1D81-38B8-492E-ACBE-74801D009E9E}",
                                              "{7AA34BD8-C52E-4F8B-A890-B478A209071E}",
                                              "{CD3F0EA4-1CE9-4935-A4F8-71D85DEA2566}"};
    bool reg(std::vector<std::string> args) const {
        HostOptions o = options_;
        o.args = {"reg"};
        o.args.insert(o.args.end(), args.begin(), args.end());
        return run_host("", o).exit_code == 0;
    }
    HostOptions options_;
    std::string view_;
    bool ok_ = true;
};

const char* const NO_SIGNATURE =
    R"({"error": { "code":23,"id":23,"message":"No signature data, signing timed out or cancelled by user"}})"
    "\n";

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

// The host on its worker thread with the SDK's COM objects (a fake laid out as the SDK's), the button
// presses arriving through that thread's message queue.
TEST_F(HostThroughWine, PadCommandsDriveTheSdkObjectsThroughCom) {
    FakePadRegistration registration(windows_host(), windows_options());
    ASSERT_TRUE(registration.ok());
    TempDir scratch;
    auto with_pad = [&](const std::string& script) {
        HostOptions o = windows_options();
        o.env["VELDRA_FAKE_PAD"] = script + ";log=Z:" + scratch.path() + "/calls.log";
        return o;
    };

    HostRun pads = run_windows(hosttest::frame(R"({"cmd":"GET_PADS"})"), with_pad("width=640;height=480"));
    EXPECT_EQ(pads.answer(), R"({"padList": [{"index":0,"type":"WACOM","name":"Wacom","width":640,"height":480}]})")
        << pads.err;

    const std::string sign = hosttest::frame(
        R"({"cmd":"COMPUTE_SIGNATURE_IMAGE","pad":"Wacom","hash":"0aFF","signer":"Zo\u00eb","reason":"Contract 7"})");
    std::remove((scratch.path() + "/calls.log").c_str());
    HostRun signed_ = run_windows(sign, with_pad("presses=,Clear,,Ok"));
    EXPECT_EQ(signed_.exit_code, 0);
    EXPECT_EQ(signed_.answer(), R"({"metadata":{"1.2.528.56.1004.1.1":"STU-520 or STU-530","1.2.528.56.1004.1.2":"",)"
                                R"("1.2.528.56.1004.1.3":"AQID"},"image":"iVBORw=="})")
        << signed_.err;
    const std::string calls = read_file(scratch.path() + "/calls.log");
    EXPECT_NE(calls.find("wiz.AddObject 0 who 'right' 360 'Zo\\u00eb' missing\n"), std::string::npos) << calls;
    EXPECT_NE(calls.find("hash.SetType 4\nhash.SetHash bytes2\n"), std::string::npos) << calls;
    EXPECT_NE(calls.find("wiz.SetEventHandler sink\nwiz.Display\nevent Clear\nevent Ok\nwiz.SetEventHandler null\n"),
              std::string::npos)
        << calls;
    const std::string cleanUp = "wiz.SetEventHandler null\nwiz.Reset\nwiz.Display\nwiz.Disconnect\n";
    ASSERT_GE(calls.size(), cleanUp.size());
    EXPECT_EQ(calls.substr(calls.size() - cleanUp.size()), cleanUp) << calls;

    EXPECT_EQ(run_windows(sign, with_pad("presses=Cancel")).answer(), NO_SIGNATURE);
    // No pad on the line: the pad is not found; the SDK's controls missing: no pad is listed.
    EXPECT_EQ(run_windows(sign, with_pad("connected=0")).answer(),
              R"({"error": { "code":21,"id":21,"message":"Signature pad [Wacom] not found"}})"
              "\n");
    EXPECT_EQ(run_windows(hosttest::frame(R"({"cmd":"GET_PADS"})"), with_pad("sigctl=0")).answer(),
              R"({"padList": []})");
}

TEST_F(HostThroughWine, StateFileIsCreatedUnderLocalAppDataAndKeptBetweenRequests) {
    const std::string prefix = std::getenv("WINEPREFIX") ? std::getenv("WINEPREFIX") : "";
    ASSERT_FALSE(prefix.empty());
    const std::string user = std::getenv("USER") ? std::getenv("USER") : "root";
    const std::string file = prefix + "/drive_c/users/" + user + "/AppData/Local/Veldra/appstate";
    std::remove(file.c_str());
    ASSERT_TRUE(run_windows(hosttest::frame(R"({"cmd":"GET_INFO"})")).answer().has_value());
    std::string first;
    {
        FILE* in = std::fopen(file.c_str(), "rb");
        ASSERT_NE(in, nullptr) << file;
        char buffer[128] = {};
        first.assign(buffer, std::fread(buffer, 1, sizeof buffer, in));
        std::fclose(in);
    }
    EXPECT_EQ(first.size(), 48u);
    EXPECT_EQ(first.rfind("key=", 0), 0u);
    EXPECT_EQ(first.back(), '=');
    ASSERT_TRUE(run_windows(hosttest::frame(R"({"cmd":"GET_INFO"})")).answer().has_value());
    FILE* in = std::fopen(file.c_str(), "rb");
    ASSERT_NE(in, nullptr);
    char buffer[128] = {};
    const std::string second(buffer, std::fread(buffer, 1, sizeof buffer, in));
    std::fclose(in);
    EXPECT_EQ(second, first);
}

TEST_F(HostThroughWine, InstallHostRegistersTheManifestsAndRemovesThem) {
    const std::string host = windows_host();
    const std::string folder = host.substr(0, host.rfind('/') + 1);
    const std::string name = "org.veldra.wine_test";
    HostOptions install = windows_options();
    install.args = {folder + "veldra-install-host.exe", "--name", name, "abcdefghijklmnopabcdefghijklmnop",
                    "signer@example.org"};
    const HostRun installed = run_host("", install);
    ASSERT_EQ(installed.exit_code, 0) << installed.err;

    std::ifstream chrome(folder + name + ".chrome.json"), firefox(folder + name + ".firefox.json");
    ASSERT_TRUE(chrome && firefox);
    const auto chromeManifest = nlohmann::json::parse(chrome);
    const auto firefoxManifest = nlohmann::json::parse(firefox);
    EXPECT_EQ(chromeManifest["name"], name);
    EXPECT_EQ(chromeManifest["type"], "stdio");
    EXPECT_EQ(chromeManifest["allowed_origins"],
              nlohmann::json::array({"chrome-extension://abcdefghijklmnopabcdefghijklmnop/"}));
    EXPECT_EQ(firefoxManifest["allowed_extensions"], nlohmann::json::array({"signer@example.org"}));
    const std::string windowsPath = chromeManifest["path"];
    EXPECT_EQ(windowsPath.substr(windowsPath.size() - 23), "\\veldra-native-host.exe") << windowsPath;
    EXPECT_EQ(windowsPath.rfind("Z:\\", 0), 0u) << windowsPath;

    auto query = [&](const std::string& key) {
        HostOptions reg = windows_options();
        reg.args = {"reg", "query", key, "/ve"};
        return run_host("", reg);
    };
    const HostRun chromeKey = query("HKCU\\Software\\Google\\Chrome\\NativeMessagingHosts\\" + name);
    EXPECT_EQ(chromeKey.exit_code, 0);
    EXPECT_NE(chromeKey.out.find(name + ".chrome.json"), std::string::npos) << chromeKey.out;
    EXPECT_NE(query("HKCU\\Software\\Mozilla\\NativeMessagingHosts\\" + name).out.find(name + ".firefox.json"),
              std::string::npos);

    // A bad id changes nothing; --uninstall removes the keys and the manifests.
    install.args = {folder + "veldra-install-host.exe", "--name", name, "not-an-id"};
    EXPECT_EQ(run_host("", install).exit_code, 2);
    install.args = {folder + "veldra-install-host.exe", "--name", name, "--uninstall"};
    EXPECT_EQ(run_host("", install).exit_code, 0);
    EXPECT_FALSE(std::ifstream(folder + name + ".chrome.json"));
    EXPECT_NE(query("HKCU\\Software\\Google\\Chrome\\NativeMessagingHosts\\" + name).exit_code, 0);
}
