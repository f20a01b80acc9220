#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <stdexcept>

#include "clock.h"
#include "device_base.h"
#include "test_images.h"

using namespace BioSigningDevice;

namespace {

// A device whose capture is a plain wait, for the base class's own behaviour.
class TestDevice : public DeviceBase {
public:
    explicit TestDevice(int32_t width = 800, int32_t height = 480, bool colour = true) {
        description_.width = width;
        description_.height = height;
        description_.colour = colour;
    }
    std::function<int64_t()> progress = [] { return 1; };
    void CaptureSignature(const std::atomic<bool>* cancel, int64_t stall, int64_t limit, std::string*) override {
        SignStart();
        WaitWhileBusy(progress, cancel, stall, limit, 0);
    }
    std::vector<uint8_t> PKCSSign(const std::vector<uint8_t>&) override { return {}; }
    void Start() { SignStart(); }
    bool End() { return SignEnd(); }
    void Wait(const std::function<int64_t()>& p, const std::atomic<bool>* cancel, int64_t stall, int64_t limit,
              int pause) {
        WaitWhileBusy(p, cancel, stall, limit, pause);
    }
};

bool logic_error_with(const std::function<void()>& call, const std::string& text) {
    try {
        call();
    } catch (const std::logic_error& e) {
        return e.what() == text;
    }
    return false;
}

const char* const BAD_SIZE = "BioSigningDevice::DeviceBase::SetImage: invalid image dimensions";

}  // namespace

TEST(DeviceBaseSetImage, AcceptsAScreenSizedImageFileAndKeepsThePixels) {
    TestDevice device;
    device.SetImage(testimages::solid_png(800, 480, 0x102030), {0, 0, 2048, 2048}, true);
    ASSERT_EQ(device.GetBackground().size(), 1152000u);
    EXPECT_EQ(device.GetBackground()[0], 0x30);
    EXPECT_EQ(device.GetBackground()[2], 0x10);
}

TEST(DeviceBaseSetImage, RejectsOtherSizesAndKeepsThePreviousImage) {
    TestDevice device;
    device.SetImage(std::vector<uint8_t>(800 * 480 * 3, 7), {1, 2, 3, 4}, false);
    EXPECT_TRUE(logic_error_with(
        [&] {
            device.SetImage(testimages::solid_png(799, 480), {0, 0, 9, 9}, true);
        },
        BAD_SIZE));
    EXPECT_TRUE(logic_error_with([&] { device.SetImage({'x', 'y'}, {0, 0, 9, 9}, true); }, BAD_SIZE));
    EXPECT_TRUE(logic_error_with([&] { device.SetImage(std::vector<uint8_t>(10), {0, 0, 9, 9}, false); }, BAD_SIZE));
    EXPECT_EQ(device.GetBackground(), std::vector<uint8_t>(800 * 480 * 3, 7));
    EXPECT_EQ(device.GetRect().x, 1);
    EXPECT_EQ(device.GetRect().h, 4);
}

TEST(DeviceBaseSetImage, MonochromeScreensTakeOneBitPerPixel) {
    TestDevice device(396, 100, false);
    device.SetImage(std::vector<uint8_t>(396 * 100 / 8), {0, 0, 2048, 2048}, false);
    EXPECT_EQ(device.GetBackground().size(), 396u * 100 / 8);
    EXPECT_TRUE(logic_error_with(
        [&] {
            device.SetImage(std::vector<uint8_t>(396 * 100 * 3), {0, 0, 1, 1}, false);
        },
        BAD_SIZE));
}

TEST(DeviceBaseSetImage, ClampsTheRectangleToTheScreen) {
    TestDevice device;
    const std::vector<uint8_t> raw(800 * 480 * 3);
    struct Case {
        Rect in, out;
    };
    const Case cases[] = {
        {{0, 0, 2048, 2048}, {0, 0, 800, 480}},
        {{900, 10, 50, 50}, {799, 10, 1, 50}},
        {{10, 470, 20, 20}, {10, 470, 20, 10}},
        {{-5, -5, 10, 10}, {-5, -5, 10, 10}},  // negative values are left as they are
        {{INT32_MIN, INT32_MIN, INT32_MAX, 7}, {INT32_MIN, INT32_MIN, INT32_MAX, 7}},  // no overflow
    };
    for (const Case& c : cases) {
        device.SetImage(raw, c.in, false);
        const Rect r = device.GetRect();
        EXPECT_EQ((std::vector<int32_t>{r.x, r.y, r.w, r.h}),
                  (std::vector<int32_t>{c.out.x, c.out.y, c.out.w, c.out.h}));
    }
}

TEST(DeviceBaseState, SecondStartWhileBusyThrowsAndLeavesTheCaptureAlone) {
    TestDevice device;
    device.Start();
    EXPECT_TRUE(logic_error_with([&] { device.Start(); },
                                 "BioSigningDevice::DeviceBase::SignStart: can not start; device not idle"));
    EXPECT_EQ(device.GetState(), DeviceBase::Busy);
    EXPECT_TRUE(device.End());
    EXPECT_FALSE(device.End());  // a late second transition changes nothing
    EXPECT_EQ(device.GetState(), DeviceBase::Idle);
    device.Start();
}

TEST(DeviceBaseState, TextsHashAndEmptyResultsBeforeAnyCapture) {
    TestDevice device;
    device.SetTexts("", "reason");
    device.SetHash({1, 2});
    EXPECT_TRUE(device.GetSignatureData().empty());
    EXPECT_TRUE(device.GetImage().empty());
    EXPECT_EQ(device.GetDescription().width, 800);
}

class WaitWhileBusyTest : public ::testing::Test {
protected:
    static inline int64_t fakeNow = 0;
    static int64_t fake_clock() { return fakeNow; }
    void SetUp() override {
        fakeNow = 1'000'000'000;
        Utils::set_monotonic_clock(&fake_clock);
        device.Start();
    }
    void TearDown() override { Utils::set_monotonic_clock(nullptr); }
    static constexpr int64_t SECOND = 1'000'000'000;
    TestDevice device;
};

TEST_F(WaitWhileBusyTest, ASetCancelFlagReturnsBeforeAnyProgressCall) {
    std::atomic<bool> cancel{true};
    int calls = 0;
    device.Wait([&] { return ++calls; }, &cancel, 1, 60, 50);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(device.GetState(), DeviceBase::Busy);  // the wait never changes the state
}

TEST_F(WaitWhileBusyTest, EndsAfterTheTimeLimitWhileProgressGrows) {
    int64_t value = 0;
    device.Wait(
        [&] {
            fakeNow += 10 * SECOND;
            return ++value;
        },
        nullptr, 1000, 60, 0);
    EXPECT_EQ(value, 8);  // the turn that reads 60 s is not past the limit, the one that reads 70 s is
}

TEST_F(WaitWhileBusyTest, EndsWhenProgressStallsButNotBeforeItStarted) {
    int calls = 0;
    // Zero progress for a long time does not count as a stall; then one step, then no growth.
    device.Wait(
        [&] {
            ++calls;
            fakeNow += SECOND / 2;
            return calls < 10 ? 0 : 5;
        },
        nullptr, 1, 0, 0);
    EXPECT_EQ(calls, 13);  // growth seen at call 10, more than 1 s later at call 13
}

TEST_F(WaitWhileBusyTest, EndsWhenTheStateLeavesBusyAndNeedsAProgressFunction) {
    int calls = 0;
    device.Wait(
        [&] {
            if (++calls == 3) device.End();
            return calls;
        },
        nullptr, 1, 0, 1);
    EXPECT_EQ(calls, 3);
    device.Start();
    EXPECT_THROW(device.Wait(std::function<int64_t()>(), nullptr, 1, 0, 0), std::bad_function_call);
}

TEST(WaitWhileBusyRealClock, AnotherThreadsCancelEndsTheWaitPromptly) {
    TestDevice device;
    std::atomic<bool> cancel{false};
    device.progress = [&] { return 1; };
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        cancel = true;
    });
    const int64_t start = Utils::monotonic_ns();
    device.CaptureSignature(&cancel, 1000, 60, nullptr);
    canceller.join();
    EXPECT_LT(Utils::monotonic_ns() - start, 5 * 1'000'000'000LL);  // generous
}
