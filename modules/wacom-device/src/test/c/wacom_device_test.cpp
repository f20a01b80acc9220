#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "com.h"
#include "scripted_sdk.h"
#include "wacom_sdk_device_factory.h"

using namespace BioSigningDevice;

namespace {

class WacomDeviceTest : public ::testing::Test {
protected:
    scripted::Script script;
    WacomSDKDevice::SdkProvider provider = [this] { return std::make_shared<scripted::Sdk>(script); };
    WacomSDKDeviceFactory factory{provider};

    std::shared_ptr<WacomSDKDevice> open() {
        auto device = std::dynamic_pointer_cast<WacomSDKDevice>(factory.CreateDevice("Wacom"));
        EXPECT_TRUE(device);
        script.log.clear();
        return device;
    }
    // The log lines from the first one starting with from.
    std::string log_from(const std::string& from) const {
        const std::string all = script.joined();
        const size_t at = all.find(from);
        return at == std::string::npos ? std::string() : all.substr(at);
    }
    void TearDown() override { EXPECT_EQ(ComInitDepth(), 0); }
};

template <typename Call>
HRESULT com_error_of(Call call, std::string* iid = nullptr) {
    try {
        call();
    } catch (const ComError& e) {
        if (iid) *iid = e.Interface();
        return e.Error();
    }
    return S_OK;
}

const char* const SCREEN_800 =
    "sigctl.Signature\n"
    "wiz.Reset\n"
    "wiz.SetFont Verdana 320000 0\n"
    "wiz.AddObject 0 txt 'centre' 300 'X..............................' 0\n"
    "wiz.SetFont Verdana 160000 0\n"
    "wiz.AddObject 3 Sig 0 0 object missing\n"
    "wiz.AddObject 0 who 'right' 360 'Alice' missing\n"
    "wiz.AddObject 0 why 'right' 390 'Contract 7' missing\n"
    "sdk.CreateHash\n"
    "hash.SetType 4\n"
    "hash.SetHash bytes2\n"
    "wiz.AddObject 6 null 0 0 object missing\n"
    "wiz.SetFont Verdana 220000 0\n"
    "wiz.AddObject 1 Cancel 'left' 'bottom' 'Cancel' 110\n"
    "wiz.AddObject 1 Clear 'center' 'bottom' 'Clear' 110\n"
    "wiz.AddObject 1 Ok 'right' 'bottom' 'Ok' 110\n"
    "wiz.SetEventHandler sink\n"
    "wiz.Display\n";

const char* const COLLECT_AND_CLEAN =
    "wiz.SetEventHandler null\n"
    "sigctl.Signature\n"
    "sig.IsCaptured\n"
    "sig.RenderBitmap null -200 -200 image/png 0.7 0 ffffff 4 4 540800\n"
    "sig.GetSigData\n"
    "wiz.SetEventHandler null\n"
    "wiz.Reset\n"
    "wiz.Display\n"
    "wiz.Disconnect\n";

}  // namespace

TEST_F(WacomDeviceTest, ListsTheConnectedPadAndDisconnectsAgain) {
    const auto pads = factory.Enumerate();
    ASSERT_EQ(pads.size(), 1u);
    EXPECT_EQ(pads[0].type, WacomSdk);
    EXPECT_EQ(pads[0].name, "Wacom");
    EXPECT_EQ(pads[0].model, "STU-520 or STU-530");
    EXPECT_EQ(pads[0].width, 800);
    EXPECT_EQ(pads[0].height, 480);
    EXPECT_TRUE(pads[0].colour);
    EXPECT_TRUE(pads[0].properties.empty());
    EXPECT_EQ(script.joined(), "wiz.Connect\nwiz.PadWidth\nwiz.PadHeight\nwiz.Disconnect\n");
}

TEST_F(WacomDeviceTest, EveryKindOfMissingPadListsNothingAndOpensNothing) {
    auto check = [&](const char* what) {
        SCOPED_TRACE(what);
        EXPECT_TRUE(factory.Enumerate().empty());
        EXPECT_EQ(factory.CreateDevice("Wacom"), nullptr);
    };
    script.connected = false;
    check("not connected");
    script.connected = true;
    script.width = 1024;  // no model has this screen
    check("unknown model");
    EXPECT_EQ(script.log.back(), "wiz.Disconnect");
    script.width = 800;
    script.failures["wiz.PadHeight"] = E_FAIL;
    check("failing call");
    script.failures.clear();
    script.wizCtl = false;
    check("no wizard control");
    script.sigCtl = false;
    check("no signature control");
    WacomSDKDeviceFactory noSdk([] { return std::shared_ptr<PadSdk::ISdk>(); });
    EXPECT_TRUE(noSdk.Enumerate().empty());
    EXPECT_EQ(noSdk.CreateDevice("Wacom"), nullptr);
}

TEST_F(WacomDeviceTest, OpensOnlyTheExactName) {
    EXPECT_EQ(factory.CreateDevice("wacom"), nullptr);
    EXPECT_EQ(factory.CreateDevice(""), nullptr);
    EXPECT_NE(factory.CreateDevice("Wacom"), nullptr);
    EXPECT_EQ(factory.OpenSession("anything"), nullptr);
}

TEST_F(WacomDeviceTest, ModelsFollowTheScreenWidth) {
    const std::pair<int16_t, const char*> models[] = {
        {396, "STU-300"}, {320, "STU-430 or ePad"}, {640, "STU-500"}, {800, "STU-520 or STU-530"}};
    for (const auto& [width, model] : models) {
        script.width = width;
        const auto pads = factory.Enumerate();
        ASSERT_EQ(pads.size(), 1u);
        EXPECT_EQ(pads[0].model, model);
    }
}

TEST_F(WacomDeviceTest, OkComposesTheScreenCollectsAndCleansUp) {
    auto device = open();
    device->SetTexts("Alice", "Contract 7");
    device->SetHash({0x0A, 0xFF});
    script.presses = {"", "Ok"};
    std::string session = "stale";
    device->CaptureSignature(nullptr, 1, 60, &session);

    EXPECT_EQ(session, "");
    EXPECT_EQ(script.joined().substr(0, std::strlen("wiz.Connect\nwiz.PadWidth\nwiz.PadHeight\n")),
              "wiz.Connect\nwiz.PadWidth\nwiz.PadHeight\n");
    EXPECT_EQ(log_from("sigctl.Signature").substr(0, std::strlen(SCREEN_800)), SCREEN_800);
    EXPECT_EQ(log_from("wiz.SetEventHandler null"), COLLECT_AND_CLEAN);
    EXPECT_EQ(device->GetImage(), (std::vector<uint8_t>{0x89, 'P', 'N', 'G'}));
    EXPECT_EQ(device->GetSignatureData(), "AQID");
    EXPECT_EQ(device->GetState(), DeviceBase::Idle);
    EXPECT_EQ(script.sink, nullptr);
}

TEST_F(WacomDeviceTest, SmallPadStacksTheButtonsAndBlanksStandForEmptyTexts) {
    script.width = 396;
    script.height = 100;
    auto device = open();
    script.presses = {"Cancel"};
    device->CaptureSignature(nullptr, 1, 60, nullptr);
    const std::string log = script.joined();
    EXPECT_NE(log.find("wiz.AddObject 0 txt 'left' 60 'X..............................' 0\n"), std::string::npos);
    EXPECT_NE(log.find("wiz.AddObject 0 who 'right' 200 ' ' missing\n"), std::string::npos);
    EXPECT_NE(log.find("wiz.AddObject 0 why 'right' 200 ' ' missing\n"), std::string::npos);
    EXPECT_NE(log.find("wiz.AddObject 1 Cancel 'right' 'top' 'Cancel' 70\n"), std::string::npos);
    EXPECT_NE(log.find("wiz.AddObject 1 Clear 'right' 'middle' 'Clear' 70\n"), std::string::npos);
    EXPECT_NE(log.find("wiz.AddObject 1 Ok 'right' 'bottom' 'Ok' 70\n"), std::string::npos);
    EXPECT_EQ(log.find("CreateHash"), std::string::npos);  // no hash: no hash object, no type 6
    EXPECT_EQ(log.find("AddObject 6"), std::string::npos);
}

TEST_F(WacomDeviceTest, CancelCollectsNothingEvenWithInkAndClearDoesNotEnd) {
    auto device = open();
    script.presses = {"Clear", "Clear", "Cancel"};
    device->CaptureSignature(nullptr, 1, 60, nullptr);
    EXPECT_TRUE(device->GetImage().empty());
    EXPECT_TRUE(device->GetSignatureData().empty());
    EXPECT_EQ(script.joined().find("sig.IsCaptured"), std::string::npos);
    EXPECT_GE(script.pumps, 3);
    EXPECT_EQ(device->GetState(), DeviceBase::Idle);
    EXPECT_EQ(script.log.back(), "wiz.Disconnect");
}

TEST_F(WacomDeviceTest, TimeLimitEndsTheCaptureAndOnlyACapturedSignatureIsCollected) {
    auto device = open();
    script.captured = false;
    const auto start = std::chrono::steady_clock::now();
    device->CaptureSignature(nullptr, 1, 1, nullptr);  // the 1 s stall limit never fires: progress grows
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
    EXPECT_TRUE(device->GetImage().empty());
    EXPECT_NE(script.joined().find("sig.IsCaptured"), std::string::npos);
    EXPECT_EQ(device->GetState(), DeviceBase::Idle);

    script.captured = true;  // the pad kept the ink when the time ran out
    device->CaptureSignature(nullptr, 1, 1, nullptr);
    EXPECT_FALSE(device->GetImage().empty());
}

TEST_F(WacomDeviceTest, TheStoppingFlagEndsTheCaptureQuickly) {
    auto device = open();
    std::atomic<bool> stopping{false};
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        stopping = true;
    });
    const auto start = std::chrono::steady_clock::now();
    device->CaptureSignature(&stopping, 1, 60, nullptr);
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(device->GetState(), DeviceBase::Idle);
}

TEST_F(WacomDeviceTest, AFailureWhileComposingRaisesTheComErrorAndClosesTheConnection) {
    auto device = open();
    script.failures["wiz.AddObject"] = E_OUTOFMEMORY;
    std::string iid;
    EXPECT_EQ(com_error_of([&] { device->CaptureSignature(nullptr, 1, 60, nullptr); }, &iid), E_OUTOFMEMORY);
    EXPECT_EQ(iid, PadSdk::IID_WIZCTL);
    EXPECT_EQ(script.log.back(), "wiz.Disconnect");
    EXPECT_EQ(device->GetState(), DeviceBase::Busy);  // the device is discarded with the command
}

TEST_F(WacomDeviceTest, AFailureAfterTheScreenWasShownStillCleansUp) {
    auto device = open();
    script.presses = {"Ok"};
    script.failures["sig.RenderBitmap"] = E_FAIL;
    std::string iid;
    EXPECT_EQ(com_error_of([&] { device->CaptureSignature(nullptr, 1, 60, nullptr); }, &iid), E_FAIL);
    EXPECT_EQ(iid, PadSdk::IID_SIGOBJ);
    EXPECT_EQ(log_from("sig.RenderBitmap").substr(log_from("sig.RenderBitmap").find('\n') + 1),
              "wiz.SetEventHandler null\nwiz.Reset\nwiz.Display\nwiz.Disconnect\n");
    EXPECT_EQ(device->GetState(), DeviceBase::Idle);
    EXPECT_TRUE(device->GetImage().empty());

    script.failures = {{"sig.GetSigData", E_FAIL}};
    script.presses = {"Ok"};
    EXPECT_EQ(com_error_of([&] { device->CaptureSignature(nullptr, 1, 60, nullptr); }, &iid), E_FAIL);
    EXPECT_EQ(iid, PadSdk::IID_SIGOBJ_DATA);
}

TEST_F(WacomDeviceTest, HashObjectAndSignatureObjectTrouble) {
    auto device = open();
    device->SetHash({1});
    script.createHash = E_NOINTERFACE;
    std::string iid;
    EXPECT_EQ(com_error_of([&] { device->CaptureSignature(nullptr, 1, 60, nullptr); }, &iid), E_POINTER);
    EXPECT_EQ(iid, PadSdk::IID_HASH);

    device = open();
    device->SetHash({1});
    script.createHash = static_cast<HRESULT>(0x80040154);
    EXPECT_EQ(com_error_of([&] { device->CaptureSignature(nullptr, 1, 60, nullptr); }),
              static_cast<HRESULT>(0x80040154));

    script.createHash = S_OK;
    script.signatureIsSigObj = false;  // the control's object lacks the signature interface
    device = open();
    script.presses = {"Ok"};
    EXPECT_EQ(com_error_of([&] { device->CaptureSignature(nullptr, 1, 60, nullptr); }, &iid), E_POINTER);
    EXPECT_EQ(iid, PadSdk::IID_SIGOBJ);
    script.presses = {"Cancel"};  // ... which does not matter when the user cancelled
    EXPECT_EQ(com_error_of([&] { device->CaptureSignature(nullptr, 1, 60, nullptr); }), S_OK);
}

TEST_F(WacomDeviceTest, PictureAndDataArrays) {
    auto device = open();
    script.presses = {"Ok"};
    script.picture = PadSdk::Variant();  // no array: nothing
    std::vector<uint8_t> block(100, 0xAB);
    script.data = PadSdk::Variant::Bytes(block);
    device->CaptureSignature(nullptr, 1, 60, nullptr);
    EXPECT_TRUE(device->GetImage().empty());
    EXPECT_EQ(device->GetSignatureData().size(), 136u);

    script.presses = {"Ok"};
    script.picture.type = PadSdk::Variant::Type::Array;  // not bytes
    EXPECT_EQ(com_error_of([&] { device->CaptureSignature(nullptr, 1, 60, nullptr); }), E_INVALIDARG);
}

TEST(SigningMonitor, OnlyTheButtonEventReachesTheHandler) {
    WacomSDKDevice::SigningMonitor monitor(nullptr);
    using PadSdk::Variant;
    const std::vector<Variant> good = {Variant::Int(0), Variant::Text("Cancel"), Variant::Int(1)};
    EXPECT_EQ(monitor.Invoke(1, PadSdk::DISPATCH_METHOD, good), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(monitor.Invoke(0, 2, good), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(monitor.Invoke(0, PadSdk::DISPATCH_METHOD, {Variant::Int(0), Variant::Text("Ok")}),
              DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(monitor.Invoke(0, PadSdk::DISPATCH_METHOD, {Variant::Int(0), Variant::Int(5), Variant::Int(1)}),
              DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(monitor.Invoke(0, PadSdk::DISPATCH_METHOD, good), S_OK);  // detached: harmless
    EXPECT_FALSE(monitor.Cancelled());
}

TEST(WacomSDKDevice, PKCSSignIsNotImplementedAndTextsAreWidenedWhenNotUtf8) {
    scripted::Script script;
    WacomSDKDevice device("", [&] { return std::make_shared<scripted::Sdk>(script); });
    try {
        device.PKCSSign({1});
        FAIL();
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "WacomSDKDevice::PKCSSign: not implemented");
    }
    EXPECT_EQ(ScreenText("Jos\xC3\xA9"), "Jos\xC3\xA9");
    EXPECT_EQ(ScreenText("Jos\xE9"), "Jos\xC3\xA9");
    EXPECT_EQ(ScreenText("\xED\xA0\x80"), "\xC3\xAD\xC2\xA0\xC2\x80");  // an encoded surrogate is not UTF-8
}
