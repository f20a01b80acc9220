// The on-screen pad under a private Xvfb, driven by xdotool as a user would.
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "base64.h"
#include "image_decoder.h"
#include "pad_gui.h"
#include "signature_data.h"
#include "wacom_sdk_device_factory.h"
#include "log.h"

using namespace BioSigningDevice;

namespace {

// GTK opens its display once per process and keeps it: each of these tests needs a process of its own,
// which is how ctest runs them. Run directly, the binary runs the first and skips the rest.
bool first_display_of_process() {
    static bool used = false;
    const bool first = !used;
    used = true;
    return first;
}
#define REQUIRE_OWN_PROCESS() \
    if (!first_display_of_process()) GTEST_SKIP() << "needs a process of its own (run through ctest)"

class OnScreenPadTest : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_OWN_PROCESS();
        ASSERT_TRUE(xvfb.ok()) << xvfb.error();
        setenv("DISPLAY", xvfb.display().c_str(), 1);
        unsetenv("WAYLAND_DISPLAY");
        debug_enabled = true;
    }
    std::shared_ptr<ISigningDevice> open() {
        auto device = factory.CreateDevice("Wacom");
        EXPECT_TRUE(device);
        return device;
    }
    // Runs the capture on this thread while user() acts on the window from another.
    template <typename User>
    void capture(ISigningDevice& device, User user, const std::atomic<bool>* cancel = nullptr) {
        std::thread acting([&] {
            const std::string window = padgui::find_pad_window(xvfb.display());
            if (!window.empty()) user(window);
        });
        device.CaptureSignature(cancel, 1, 20, nullptr);
        acting.join();
    }
    padgui::Xvfb xvfb;
    WacomSDKDeviceFactory factory{&PlatformPadSdk};
};

}  // namespace

TEST_F(OnScreenPadTest, ListsOnePadTheSizeOfTheLargestScreen) {
    const auto pads = factory.Enumerate();
    ASSERT_EQ(pads.size(), 1u);
    EXPECT_EQ(pads[0].name, "Wacom");
    EXPECT_EQ(pads[0].model, "STU-520 or STU-530");
    EXPECT_EQ(pads[0].width, 800);
    EXPECT_EQ(pads[0].height, 480);
}

TEST_F(OnScreenPadTest, AStrokeAndOkGiveThePictureAndTheData) {
    auto device = open();
    ASSERT_TRUE(device);
    device->SetTexts("Alice Example", "Approval");
    device->SetHash({0x0A, 0xFF});
    capture(*device, [&](const std::string& window) {
        EXPECT_TRUE(padgui::draw(xvfb.display(), window, {{200, 150}, {300, 180}, {400, 200}}));
        EXPECT_TRUE(padgui::click(xvfb.display(), window, padgui::OK_800));
    });
    const auto pixels = decode_image(device->GetImage());
    const int width = 1608;
    ASSERT_EQ(pixels.size(), 1608u * 968 * 3);
    auto dark_near = [&](int sx, int sy) {
        for (int dy = -3; dy <= 3; ++dy)
            for (int dx = -3; dx <= 3; ++dx) {
                const size_t at = (static_cast<size_t>(4 + sy * 2 + dy) * width + 4 + sx * 2 + dx) * 3;
                if (pixels[at] < 128) return true;
            }
        return false;
    };
    EXPECT_TRUE(dark_near(200, 150));
    EXPECT_TRUE(dark_near(400, 200));
    EXPECT_FALSE(dark_near(600, 350));

    const auto record = OnScreenPad::DecodeSignatureData(base64_decode(device->GetSignatureData()));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->hash, (std::vector<uint8_t>{0x0A, 0xFF}));
    EXPECT_EQ(record->hashType, 4);
    EXPECT_EQ(record->signer, "Alice Example");
    EXPECT_EQ(record->reason, "Approval");
    EXPECT_EQ(record->width, 800);
    ASSERT_GE(record->samples.size(), 3u);
    EXPECT_EQ(record->samples.front().x, 200);
    EXPECT_EQ(record->samples.back().pressure, 0);
}

TEST_F(OnScreenPadTest, CancelOrClearThenOkGiveNothing) {
    auto device = open();
    ASSERT_TRUE(device);
    capture(*device, [&](const std::string& window) {
        padgui::draw(xvfb.display(), window, {{200, 150}, {400, 200}});
        padgui::click(xvfb.display(), window, padgui::CANCEL_800);
    });
    EXPECT_TRUE(device->GetImage().empty());
    EXPECT_TRUE(device->GetSignatureData().empty());

    capture(*device, [&](const std::string& window) {
        padgui::draw(xvfb.display(), window, {{200, 150}, {400, 200}});
        padgui::click(xvfb.display(), window, padgui::CLEAR_800);
        padgui::click(xvfb.display(), window, padgui::OK_800);
    });
    EXPECT_TRUE(device->GetImage().empty());
}

TEST_F(OnScreenPadTest, TheStoppingFlagClosesTheScreenQuickly) {
    auto device = open();
    ASSERT_TRUE(device);
    std::atomic<bool> stopping{false};
    const auto start = std::chrono::steady_clock::now();
    capture(
        *device, [&](const std::string&) { stopping = true; }, &stopping);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    EXPECT_TRUE(device->GetImage().empty());
    EXPECT_NE(padgui::run(xvfb.display(), "xdotool search --onlyvisible --name '^Signature pad$'"), 0);
}

TEST(OnScreenPadSmallDisplay, TheLargestPadScreenThatFitsIsChosen) {
    REQUIRE_OWN_PROCESS();
    padgui::Xvfb xvfb("700x500x24");
    ASSERT_TRUE(xvfb.ok()) << xvfb.error();
    setenv("DISPLAY", xvfb.display().c_str(), 1);
    WacomSDKDeviceFactory factory(&PlatformPadSdk);
    const auto pads = factory.Enumerate();
    ASSERT_EQ(pads.size(), 1u);
    EXPECT_EQ(pads[0].model, "STU-500");
    EXPECT_EQ(pads[0].width, 640);
    EXPECT_EQ(pads[0].height, 480);
}

TEST(OnScreenPadWithoutDisplay, ListsNothing) {
    REQUIRE_OWN_PROCESS();
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    WacomSDKDeviceFactory factory(&PlatformPadSdk);
    EXPECT_TRUE(factory.Enumerate().empty());
    EXPECT_EQ(factory.CreateDevice("Wacom"), nullptr);
}
