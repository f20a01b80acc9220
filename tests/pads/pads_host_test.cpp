// The pad commands through the built host, as a browser runs it, with the on-screen pad on a private
// Xvfb and a user played by xdotool.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <future>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base64.h"
#include "host_process.h"
#include "image_decoder.h"
#include "pad_gui.h"
#include "signature_data.h"
#include "test_images.h"

using nlohmann::json;

namespace {

const char* const NO_SIGNATURE =
    R"({"error": { "code":23,"id":23,"message":"No signature data, signing timed out or cancelled by user"}})"
    "\n";

class PadsHostTest : public ::testing::Test {
protected:
    explicit PadsHostTest(const char* screen = "1024x768x24") : xvfb(screen) {}
    void SetUp() override { ASSERT_TRUE(xvfb.ok()) << xvfb.error(); }
    hosttest::HostOptions with_display() {
        hosttest::HostOptions options;
        options.env["DISPLAY"] = xvfb.display();
        options.env["HOME"] = home.path();
        options.env["XDG_DATA_HOME"] = home.path();
        options.env["NO_AT_BRIDGE"] = "1";
        options.env["LANG"] = "C.UTF-8";  // English unless a test chooses a language
        options.env["LANGUAGE"] = "";
        options.unset_env = {"WAYLAND_DISPLAY", "LC_ALL", "LC_MESSAGES"};
        options.limit = std::chrono::milliseconds(40000);
        return options;
    }
    // Sends the request (with the options given, or with_display()); while the host waits for the
    // user, user() acts on the pad window.
    template <typename User>
    std::string sign(const json& request, User user, std::optional<hosttest::HostOptions> options = std::nullopt,
                     const std::string& title = "Signature pad") {
        if (!options) options = with_display();
        auto host = std::async(std::launch::async, [&] { return hosttest::request(request.dump(), *options); });
        const std::string window = padgui::find_pad_window(xvfb.display(), title);
        EXPECT_FALSE(window.empty()) << "the signing screen did not appear";
        if (!window.empty()) user(window);
        const hosttest::HostRun run = host.get();
        EXPECT_EQ(run.exit_code, 0);
        return run.answer().value_or("");
    }
    padgui::Xvfb xvfb;
    hosttest::TempDir home;
};

// A screen under 640 x 480: the pad is 320 x 200.
class PadsHostSmallScreenTest : public PadsHostTest {
protected:
    PadsHostSmallScreenTest() : PadsHostTest("400x300x24") {}
};

json signing_request() {
    return {{"cmd", "COMPUTE_SIGNATURE_IMAGE"},
            {"pad", "Wacom"},
            {"hash", "0aFF"},
            {"signer", "Alice \"Al\" Example"},
            {"reason", "Approval of contract 7"}};
}

}  // namespace

TEST_F(PadsHostTest, GetPadsListsTheOnScreenPad) {
    const auto run = hosttest::request(R"({"cmd":"GET_PADS"})", with_display());
    EXPECT_EQ(run.answer().value_or(""),
              R"({"padList": [{"index":0,"type":"WACOM","name":"Wacom","width":800,"height":480}]})");
}

TEST_F(PadsHostTest, AStrokeAndOkAnswerThePictureAndTheData) {
    const std::string answer = sign(signing_request(), [&](const std::string& window) {
        EXPECT_TRUE(padgui::draw(xvfb.display(), window, {{200, 150}, {300, 190}, {400, 230}}));
        EXPECT_TRUE(padgui::click(xvfb.display(), window, padgui::OK_800));
    });
    ASSERT_EQ(answer.rfind(R"({"metadata":{"1.2.528.56.1004.1.1":"STU-520 or STU-530","1.2.528.56.1004.1.2":"",)"
                           R"("1.2.528.56.1004.1.3":")",
                           0),
              0u)
        << answer.substr(0, 300);
    const json parsed = json::parse(answer);
    const auto png = base64_decode(parsed["image"].get<std::string>());
    const auto pixels = BioSigningDevice::decode_image(png);
    const int width = 800 * 2 + 8;
    ASSERT_EQ(pixels.size(), static_cast<size_t>(width) * (480 * 2 + 8) * 3);
    auto dark_near = [&](int sx, int sy) {
        for (int dy = -3; dy <= 3; ++dy)
            for (int dx = -3; dx <= 3; ++dx)
                if (pixels[(static_cast<size_t>(4 + sy * 2 + dy) * width + 4 + sx * 2 + dx) * 3] < 128) return true;
        return false;
    };
    EXPECT_TRUE(dark_near(200, 150));
    EXPECT_TRUE(dark_near(300, 190));
    EXPECT_FALSE(dark_near(600, 100));

    const auto record =
        OnScreenPad::DecodeSignatureData(base64_decode(parsed["metadata"]["1.2.528.56.1004.1.3"].get<std::string>()));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->hash, (std::vector<uint8_t>{0x0A, 0xFF}));
    EXPECT_EQ(record->signer, "Alice \\\"Al\\\" Example");  // member values travel as their raw JSON text
    EXPECT_EQ(record->reason, "Approval of contract 7");
    EXPECT_GE(record->samples.size(), 3u);
}

TEST_F(PadsHostTest, CancelAndClearThenOkAnswerNoSignature) {
    EXPECT_EQ(sign(signing_request(),
                   [&](const std::string& window) {
                       padgui::draw(xvfb.display(), window, {{200, 150}, {400, 230}});
                       padgui::click(xvfb.display(), window, padgui::CANCEL_800);
                   }),
              NO_SIGNATURE);
    EXPECT_EQ(sign(signing_request(),
                   [&](const std::string& window) {
                       padgui::draw(xvfb.display(), window, {{200, 150}, {400, 230}});
                       padgui::click(xvfb.display(), window, padgui::CLEAR_800);
                       padgui::click(xvfb.display(), window, padgui::OK_800);
                   }),
              NO_SIGNATURE);
}

TEST_F(PadsHostTest, RequestErrorsWithAPadAttached) {
    auto answer = [&](json request) { return hosttest::request(request.dump(), with_display()).answer().value_or(""); };
    json request = signing_request();
    request["pad"] = "wacom";
    EXPECT_EQ(answer(request), R"({"error": { "code":21,"id":21,"message":"Signature pad [wacom] not found"}})"
                               "\n");
    request = signing_request();
    request["image"] = "%%%%";
    EXPECT_EQ(answer(request), R"({"error": { "code":99,"id":99,"message":"Invalid image encoding"}})"
                               "\n");
    request["image"] = base64_encode(testimages::solid_png(799, 480));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(answer(request), R"({"error": { "code":22,"id":22,"message":"Signing failed )"
                               R"x((BioSigningDevice::DeviceBase::SetImage: invalid image dimensions)"}})x"
                               "\n");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));  // not the time limit
    request = signing_request();
    request["hash"] = std::string(102, 'a');
    EXPECT_EQ(answer(request).rfind(R"({"error": { "code":7,"id":7,"message":"Invalid hash [)", 0), 0u);
}

// Small files whose headers declare images of 10000 x 10000 pixels (some 400 MB of pixels), one per
// format the decoder takes. Not larger: a decoder that allocates first must fail this test, not the
// machine.
std::vector<std::pair<std::string, std::vector<uint8_t>>> image_bombs() {
    auto bytes = [](const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); };
    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    testimages::detail::chunk(png, "IHDR", {0, 0, 0x27, 0x10, 0, 0, 0x27, 0x10, 8, 6, 0, 0, 0});
    testimages::detail::chunk(png, "IDAT", testimages::detail::zlib_stored(std::vector<uint8_t>(64)));
    // Logical screen and image, no colour table, an LZW stream that never ends.
    std::vector<uint8_t> gif = bytes("GIF89a");
    gif.insert(gif.end(), {0x10, 0x27, 0x10, 0x27, 0, 0, 0, ',',  0,    0,    0,   0,
                           0x10, 0x27, 0x10, 0x27, 0, 2, 4, 0x84, 0x8F, 0xA9, 0xCB});
    // 24 bits a pixel.
    std::vector<uint8_t> bmp = bytes("BM");
    bmp.insert(bmp.end(),
               {0,  0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 0x10, 0x27, 0, 0, 0x10, 0x27, 0, 0, 1, 0,
                24, 0, 0, 0, 0, 0, 0, 0, 0,  0, 0, 0, 0,  0, 0, 0, 0,    0,    0, 0, 0,    0,    0, 0, 0, 0});
    bmp.resize(bmp.size() + 64);
    // Uncompressed true-colour Targa.
    std::vector<uint8_t> tga = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0x27, 0x10, 0x27, 24, 0x20};
    tga.resize(tga.size() + 64);
    std::vector<uint8_t> pnm = bytes("P6\n10000 10000\n255\n");
    pnm.resize(pnm.size() + 64);
    return {{"png", png}, {"gif", gif}, {"bmp", bmp}, {"tga", tga}, {"pnm", pnm}};
}

// An image that declares a huge size is refused by its header: at once, and without the memory.
TEST_F(PadsHostTest, ImageBombsAreRefusedBeforeTheirPixelsAreMade) {
    const std::string refused = R"({"error": { "code":22,"id":22,"message":"Signing failed )"
                                R"x((BioSigningDevice::DeviceBase::SetImage: invalid image dimensions)"}})x"
                                "\n";
    json request = signing_request();
    request["image"] = base64_encode(testimages::solid_png(799, 480));
    const long own = hosttest::request(request.dump(), with_display()).max_rss_kib;
    for (const auto& [format, file] : image_bombs()) {
        request["image"] = base64_encode(file);
        const hosttest::HostRun run = hosttest::request(request.dump(), with_display());
        EXPECT_EQ(run.answer().value_or(""), refused) << format;
        EXPECT_LT(run.elapsed, std::chrono::seconds(3)) << format;  // well under a second unloaded
        EXPECT_LT(run.max_rss_kib - own, 64 * 1024) << format << ": " << run.max_rss_kib << " KiB";
    }
}

TEST_F(PadsHostTest, AScreenSizedBackgroundIsAcceptedAndTheCaptureRuns) {
    json request = signing_request();
    request["image"] = base64_encode(testimages::solid_png(800, 480));
    request["rectX"] = "900";
    EXPECT_EQ(
        sign(request, [&](const std::string& window) { padgui::click(xvfb.display(), window, padgui::CANCEL_800); }),
        NO_SIGNATURE);
}

// Only the signing screen pays for the toolkit, in the window's own process: the dynamic linker's
// account of what the host and its children load. Listing the pads asks the X server directly.
TEST_F(PadsHostTest, OnlyTheSigningScreenLoadsGtk) {
    auto options = with_display();
    options.env["LD_DEBUG"] = "files";
    const auto info = hosttest::request(R"({"cmd":"GET_INFO"})", options);
    EXPECT_EQ(info.err.find("libgtk-3"), std::string::npos);
    EXPECT_EQ(info.err.find("libgdk_pixbuf"), std::string::npos);
    const auto pads = hosttest::request(R"({"cmd":"GET_PADS"})", options);
    EXPECT_EQ(pads.answer().value_or(""),
              R"({"padList": [{"index":0,"type":"WACOM","name":"Wacom","width":800,"height":480}]})");
    EXPECT_NE(pads.err.find("libxcb.so"), std::string::npos);
    EXPECT_EQ(pads.err.find("libgtk-3"), std::string::npos);
}

TEST(PadsHostWithoutDisplay, NoPadIsListedOrFound) {
    hosttest::TempDir home;
    hosttest::HostOptions options;
    options.env["HOME"] = home.path();
    options.env["XDG_DATA_HOME"] = home.path();
    options.unset_env = {"DISPLAY", "WAYLAND_DISPLAY"};
    const auto pads = hosttest::request(R"({"cmd":"GET_PADS","debug":"true"})", options);
    EXPECT_EQ(pads.answer().value_or(""), R"({"padList": []})");
    EXPECT_NE(pads.err.find("Found 0 pad(s)"), std::string::npos);
    const auto run = hosttest::request(R"({"cmd":"COMPUTE_SIGNATURE_IMAGE","pad":"Wacom","hash":""})", options);
    EXPECT_EQ(run.answer().value_or(""),
              R"({"error": { "code":21,"id":21,"message":"Signature pad [Wacom] not found"}})"
              "\n");
}

// A window manager's close-and-kill (xkill, xdotool windowclose) destroys the window under the capture.
TEST_F(PadsHostTest, AWindowDestroyedFromOutsideIsCancel) {
    EXPECT_EQ(sign(signing_request(),
                   [&](const std::string& window) {
                       padgui::draw(xvfb.display(), window, {{200, 150}, {400, 230}});
                       EXPECT_EQ(padgui::run(xvfb.display(), "xdotool windowclose " + window), 0);
                   }),
              NO_SIGNATURE);
}

// The X server going away under a capture ends the pad window's process, not the host: the capture
// is answered as a failed signing, and the host exits normally, long before the capture's own time
// limit (60 s) and the run's limit (40 s).
TEST_F(PadsHostTest, TheDisplayLostMidCaptureIsAnsweredAndTheHostExits) {
    auto host =
        std::async(std::launch::async, [&] { return hosttest::request(signing_request().dump(), with_display()); });
    const std::string window = padgui::find_pad_window(xvfb.display());
    EXPECT_FALSE(window.empty()) << "the signing screen did not appear";
    if (!window.empty()) padgui::draw(xvfb.display(), window, {{200, 150}, {400, 230}});
    xvfb.stop();
    const hosttest::HostRun run = host.get();
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.answer().value_or(""),
              R"x({"error": { "code":22,"id":22,"message":"Signing failed (unknown exception)"}})x"
              "\n");
}

// The bottom row of a 320 x 200 screen holds three buttons of 110 pixels: they share the width, and
// each is hit where it is drawn (x 118 is "Clear", no longer also "Cancel").
TEST_F(PadsHostSmallScreenTest, TheButtonsFitTheRow) {
    const std::string answer = sign(signing_request(), [&](const std::string& window) {
        padgui::draw(xvfb.display(), window, {{40, 40}, {80, 60}});
        EXPECT_TRUE(padgui::click(xvfb.display(), window, {118, 172}));
        padgui::draw(xvfb.display(), window, {{200, 50}, {250, 80}});
        EXPECT_TRUE(padgui::click(xvfb.display(), window, {263, 172}));
    });
    ASSERT_EQ(answer.rfind(R"({"metadata":{"1.2.528.56.1004.1.1":"STU-430 or ePad")", 0), 0u) << answer;
    const auto record = OnScreenPad::DecodeSignatureData(
        base64_decode(json::parse(answer)["metadata"]["1.2.528.56.1004.1.3"].get<std::string>()));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->width, 320);
    ASSERT_FALSE(record->samples.empty());
    EXPECT_EQ(record->samples.front().x, 200);  // the first stroke was cleared
}

// The window's title and its buttons in the user's language (LANGUAGE, as a session whose LANG has a
// locale of its own); the buttons keep their places and their meaning. VELDRA_PAD_SCREENSHOTS=DIR
// keeps a picture of each window there (ImageMagick's import), for a person to read the buttons.
TEST_F(PadsHostTest, TheWindowSpeaksTheUsersLanguage) {
    for (const auto& [language, title] :
         {std::pair{"nl_BE:nl", "Handtekeningtablet"}, std::pair{"fr_BE:fr", "Tablette de signature"},
          std::pair{"de_BE:de", "Unterschriftenpad"}}) {
        hosttest::HostOptions options = with_display();
        options.env["LANGUAGE"] = language;
        EXPECT_EQ(sign(
                      signing_request(),
                      [&](const std::string& window) {
                          padgui::draw(xvfb.display(), window, {{200, 150}, {400, 230}});
                          if (const char* shots = std::getenv("VELDRA_PAD_SCREENSHOTS"))
                              padgui::run(xvfb.display(), std::string("import -window ") + window + " " + shots + "/" +
                                                              language + ".png");
                          padgui::click(xvfb.display(), window, padgui::CANCEL_800);
                      },
                      options, title),
                  NO_SIGNATURE)
            << language;
    }
}

// Without a session bus nothing starts one: a dbus-launch first on the path would leave its mark.
TEST_F(PadsHostTest, NoSessionBusIsStarted) {
    hosttest::TempDir tools;
    const std::string mark = tools.path() + "/dbus-launch-ran";
    const std::string fake = tools.path() + "/dbus-launch";
    FILE* script = std::fopen(fake.c_str(), "w");
    ASSERT_TRUE(script);
    std::fprintf(script, "#!/bin/sh\necho \"$@\" >> %s\nexit 1\n", mark.c_str());
    std::fclose(script);
    chmod(fake.c_str(), 0755);
    auto options = with_display();
    options.env.erase("NO_AT_BRIDGE");
    options.env["PATH"] = tools.path() + ":" + std::getenv("PATH");
    options.unset_env.insert(options.unset_env.end(), {"NO_AT_BRIDGE", "DBUS_SESSION_BUS_ADDRESS"});
    EXPECT_EQ(hosttest::request(R"({"cmd":"GET_PADS"})", options).answer().value_or(""),
              R"({"padList": [{"index":0,"type":"WACOM","name":"Wacom","width":800,"height":480}]})");
    // The toolkit starts with the signing screen.
    EXPECT_EQ(sign(
                  signing_request(),
                  [&](const std::string& window) {
                      EXPECT_EQ(padgui::run(xvfb.display(), "xdotool windowclose " + window), 0);
                  },
                  options),
              NO_SIGNATURE);
    EXPECT_NE(access(mark.c_str(), F_OK), 0) << "dbus-launch was started";
}
