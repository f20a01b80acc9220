// The pad family over COM objects laid out as the SDK's (fake_com_pad): every call through its
// vtable slot with the SDK's argument types, button events through the thread's message queue.
#include <gtest/gtest.h>

#include "com.h"
#include "com_event_sink.h"
#include "com_pad_sdk.h"
#include "com_values.h"
#include "fake_com_pad.h"
#include "message_pump.h"
#include "wacom_sdk_device_factory.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <thread>

using BioSigningDevice::ComError;
using BioSigningDevice::ComInitDepth;
using BioSigningDevice::DeviceBase;
using BioSigningDevice::PumpMessages;
using BioSigningDevice::VariantBytes;
using BioSigningDevice::WacomSDKDevice;
using BioSigningDevice::WacomSDKDeviceFactory;
using std::chrono::steady_clock;

namespace {

class ComPadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        fakepad::config() = fakepad::Config{};
        fakepad::calls().clear();
    }
    void TearDown() override {
        registration_.reset();
        EXPECT_EQ(fakepad::live_objects(), 0) << "references left behind";
        EXPECT_EQ(ComInitDepth(), 0);
        CoUninitialize();
    }
    // The classes the configuration makes available, registered from here on.
    void register_classes() {
        registration_.reset();  // the classes once only
        registration_ = std::make_unique<fakepad::Registration>();
    }
    WacomSDKDeviceFactory factory() { return WacomSDKDeviceFactory(&ComPadSdk::CreateSdk); }
    std::shared_ptr<WacomSDKDevice> open() {
        register_classes();
        auto device = std::dynamic_pointer_cast<WacomSDKDevice>(factory().CreateDevice("Wacom"));
        if (!device) throw std::runtime_error("the pad could not be opened");
        fakepad::calls().clear();
        return device;
    }

    std::unique_ptr<fakepad::Registration> registration_;
};

template <typename Call>
::HRESULT com_error_of(Call call, std::string* iid = nullptr) {
    try {
        call();
    } catch (const ComError& e) {
        if (iid) *iid = e.Interface();
        return e.Error();
    }
    return S_OK;
}

const char* const CAPTURE_800 =
    "wiz.Connect\n"
    "wiz.PadWidth\n"
    "wiz.PadHeight\n"
    "sigctl.Signature\n"
    "wiz.Reset\n"
    "wiz.SetFont 32pt 0\n"
    "wiz.AddObject 0 txt 'centre' 300 'X..............................' 0\n"
    "wiz.SetFont 16pt 0\n"
    "wiz.AddObject 3 Sig 0 0 object missing\n"
    "wiz.AddObject 0 who 'right' 360 'Zoë Ünal' missing\n"
    "wiz.AddObject 0 why 'right' 390 ' ' missing\n"
    "hash.SetType 4\n"
    "hash.SetHash bytes3\n"
    "wiz.AddObject 6 null 0 0 object missing\n"
    "wiz.SetFont 22pt 0\n"
    "wiz.AddObject 1 Cancel 'left' 'bottom' 'Cancel' 110\n"
    "wiz.AddObject 1 Clear 'center' 'bottom' 'Clear' 110\n"
    "wiz.AddObject 1 Ok 'right' 'bottom' 'Ok' 110\n"
    "wiz.SetEventHandler sink\n"
    "wiz.Display\n"
    "event Clear\n"
    "event Ok\n"
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

TEST_F(ComPadTest, ListsThePadThroughTheSdkObjects) {
    register_classes();
    const auto pads = factory().Enumerate();
    ASSERT_EQ(pads.size(), 1u);
    EXPECT_EQ(pads[0].name, "Wacom");
    EXPECT_EQ(pads[0].model, "STU-520 or STU-530");
    EXPECT_EQ(pads[0].width, 800);
    EXPECT_EQ(pads[0].height, 480);
    EXPECT_EQ(fakepad::joined_calls(), "wiz.Connect\nwiz.PadWidth\nwiz.PadHeight\nwiz.Disconnect\n");
}

TEST_F(ComPadTest, MissingClassesOrNoPadListNothing) {
    auto check = [&](const char* what, bool registered = true) {
        SCOPED_TRACE(what);
        if (registered) register_classes();
        EXPECT_TRUE(factory().Enumerate().empty());
        EXPECT_EQ(factory().CreateDevice("Wacom"), nullptr);
        registration_.reset();
    };
    check("no SDK installed", false);
    fakepad::config().connected = false;
    check("no pad connected");
    fakepad::config() = fakepad::Config{};
    fakepad::config().wizCtl = false;
    check("no wizard control");
    fakepad::config().sigCtl = false;
    check("no signature control");
    fakepad::config() = fakepad::Config{};
    fakepad::config().width = 1024;
    check("a screen of no known model");
}

TEST_F(ComPadTest, OkAfterClearCollectsThroughTheSlotsAndCleansUp) {
    fakepad::config().presses = {"", "Clear", "", "Ok"};
    auto device = open();
    device->SetTexts("Zo\xc3\xab \xc3\x9cnal", "");
    device->SetHash({1, 2, 3});
    const auto started = steady_clock::now();
    device->CaptureSignature(nullptr, 1, 60, nullptr);
    EXPECT_LT(steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_EQ(fakepad::joined_calls(), CAPTURE_800);
    EXPECT_EQ(device->GetImage(), (std::vector<uint8_t>{0x89, 'P', 'N', 'G'}));
    EXPECT_EQ(device->GetSignatureData(), "AQID");
    EXPECT_EQ(device->GetState(), DeviceBase::Idle);
}

TEST_F(ComPadTest, CancelOrTimeLimitOrStoppingCollectNothing) {
    fakepad::config().presses = {"Cancel"};
    auto device = open();
    device->CaptureSignature(nullptr, 1, 60, nullptr);
    EXPECT_TRUE(device->GetImage().empty());
    EXPECT_EQ(fakepad::joined_calls().find("sig.IsCaptured"), std::string::npos);
    EXPECT_NE(fakepad::joined_calls().find("event Cancel\n"), std::string::npos);

    // Nobody presses: the time limit ends it, and the SDK's captured flag decides.
    fakepad::config().presses.clear();
    fakepad::config().captured = false;
    fakepad::calls().clear();
    auto started = steady_clock::now();
    device->CaptureSignature(nullptr, 1, 1, nullptr);
    EXPECT_GE(steady_clock::now() - started, std::chrono::milliseconds(900));
    EXPECT_TRUE(device->GetImage().empty());
    EXPECT_NE(fakepad::joined_calls().find("sig.IsCaptured\nwiz.SetEventHandler null\n"), std::string::npos);

    // The request being stopped, from another thread.
    std::atomic<bool> stopping{false};
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stopping = true;
    });
    started = steady_clock::now();
    device->CaptureSignature(&stopping, 1, 60, nullptr);
    stopper.join();
    EXPECT_LT(steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(device->GetState(), DeviceBase::Idle);
}

TEST_F(ComPadTest, SmallPadLayoutAndNoHashObjectWithoutAHash) {
    fakepad::config().width = 396;
    fakepad::config().height = 100;
    fakepad::config().presses = {"Ok"};
    auto device = open();
    device->CaptureSignature(nullptr, 1, 60, nullptr);
    const std::string log = fakepad::joined_calls();
    EXPECT_NE(log.find("wiz.SetFont 16pt 0\nwiz.AddObject 0 txt 'left' 60 "), std::string::npos) << log;
    EXPECT_NE(log.find("wiz.SetFont 8pt 0\nwiz.AddObject 1 Cancel 'right' 'top' 'Cancel' 70\n"), std::string::npos);
    EXPECT_EQ(log.find("hash."), std::string::npos);
    EXPECT_EQ(log.find("AddObject 6"), std::string::npos);
}

TEST_F(ComPadTest, ObjectsWithoutTheirInterfacesRaiseThePointerError) {
    fakepad::config().hashInterface = false;
    auto device = open();
    device->SetHash({1});
    std::string iid;
    EXPECT_EQ(com_error_of([&] { device->CaptureSignature(nullptr, 1, 60, nullptr); }, &iid), E_POINTER);
    EXPECT_EQ(iid, PadSdk::IID_HASH);
    EXPECT_EQ(fakepad::calls().back(), "wiz.Disconnect");

    fakepad::config() = fakepad::Config{};
    fakepad::config().sigObjInterface = false;
    fakepad::config().presses = {"Ok"};
    device = open();
    EXPECT_EQ(com_error_of([&] { device->CaptureSignature(nullptr, 1, 60, nullptr); }, &iid), E_POINTER);
    EXPECT_EQ(iid, PadSdk::IID_SIGOBJ);
    EXPECT_EQ(device->GetState(), DeviceBase::Idle);
    EXPECT_EQ(fakepad::calls().back(), "wiz.Disconnect");
}

// ---- the pieces on their own

namespace {

struct Recorder : PadSdk::IWizCtlEvents {
    std::vector<std::vector<PadSdk::Variant>> calls;
    PadSdk::HRESULT Invoke(int32_t, uint16_t, const std::vector<PadSdk::Variant>& args) override {
        calls.push_back(args);
        return S_OK;
    }
};

}  // namespace

TEST(ComEventSink, AnswersItsInterfacesAndPassesArgumentsInDeclaredOrder) {
    auto recorder = std::make_shared<Recorder>();
    IDispatch* sink = ComPadSdk::EventSink::Create(recorder);
    void* other = nullptr;
    EXPECT_EQ(sink->QueryInterface(ComPadSdk::DIID_WIZCTL_EVENTS, &other), S_OK);
    EXPECT_EQ(other, sink);
    EXPECT_EQ(sink->Release(), 1u);
    EXPECT_EQ(sink->QueryInterface(IID_IClassFactory, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(sink->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    UINT count = 0;
    EXPECT_EQ(sink->GetTypeInfoCount(&count), E_NOTIMPL);

    VARIANT args[2];
    args[0].vt = VT_INT;  // the last argument
    args[0].intVal = 7;
    args[1].vt = VT_BSTR;
    args[1].bstrVal = SysAllocString(L"Ok\u00e9");
    DISPPARAMS parameters{args, nullptr, 2, 0};
    EXPECT_EQ(sink->Invoke(0, IID_NULL, 0, DISPATCH_METHOD, &parameters, nullptr, nullptr, nullptr), S_OK);
    ASSERT_EQ(recorder->calls.size(), 1u);
    ASSERT_EQ(recorder->calls[0].size(), 2u);
    EXPECT_EQ(recorder->calls[0][0].text, "Ok\xc3\xa9");
    EXPECT_EQ(recorder->calls[0][1].number, 7);
    DISPID named = 0;
    DISPPARAMS withNames{args, &named, 2, 1};
    EXPECT_EQ(sink->Invoke(0, IID_NULL, 0, DISPATCH_METHOD, &withNames, nullptr, nullptr, nullptr), DISP_E_NONAMEDARGS);
    SysFreeString(args[1].bstrVal);
    EXPECT_EQ(recorder.use_count(), 2);
    EXPECT_EQ(sink->Release(), 0u);
    EXPECT_EQ(recorder.use_count(), 1);
}

TEST(ComValues, VariantsBothWays) {
    using PadSdk::Variant;
    ComPadSdk::OwnedVariant v;
    ASSERT_EQ(ComPadSdk::ToVariant(Variant::Bytes({9, 8, 7}), v.get()), S_OK);
    EXPECT_EQ((*v).vt, VT_ARRAY | VT_UI1);
    LONG lower = -1;
    SafeArrayGetLBound((*v).parray, 1, &lower);
    EXPECT_EQ(lower, 0);
    EXPECT_EQ(ComPadSdk::FromVariant(*v).bytes, (std::vector<uint8_t>{9, 8, 7}));

    ASSERT_EQ(ComPadSdk::ToVariant(Variant::Missing(), v.get()), S_OK);
    EXPECT_EQ((*v).vt, VT_ERROR);
    EXPECT_EQ((*v).scode, DISP_E_PARAMNOTFOUND);
    ASSERT_EQ(ComPadSdk::ToVariant(Variant::Int(-5), v.get()), S_OK);
    EXPECT_EQ((*v).vt, VT_INT);
    ASSERT_EQ(ComPadSdk::ToVariant(Variant::Text("caf\xc3\xa9"), v.get()), S_OK);
    EXPECT_EQ(std::wstring((*v).bstrVal), L"caf\u00e9");
    // An object that is none of the SDK's cannot travel.
    struct Foreign : PadSdk::IObject {};
    EXPECT_EQ(ComPadSdk::ToVariant(Variant::Object(std::make_shared<Foreign>()), v.get()), E_INVALIDARG);

    // No array: no bytes. An array of another element type: the invalid-argument error.
    VARIANT empty;
    VariantInit(&empty);
    EXPECT_TRUE(VariantBytes(ComPadSdk::FromVariant(empty), "iid").empty());
    ComPadSdk::OwnedVariant longs;
    (*longs.get()).vt = VT_ARRAY | VT_I4;
    (*longs.get()).parray = SafeArrayCreateVector(VT_I4, 0, 2);
    EXPECT_EQ(com_error_of([&] { VariantBytes(ComPadSdk::FromVariant(*longs), "iid"); }), E_INVALIDARG);
    // By reference, and from a lower bound other than 0.
    SAFEARRAYBOUND bound{2, 5};
    SAFEARRAY* shifted = SafeArrayCreate(VT_UI1, 1, &bound);
    LONG at = 5;
    BYTE value = 0xAB;
    SafeArrayPutElement(shifted, &at, &value);
    VARIANT byRef;
    byRef.vt = VT_ARRAY | VT_UI1 | VT_BYREF;
    byRef.pparray = &shifted;
    EXPECT_EQ(ComPadSdk::FromVariant(byRef).bytes, (std::vector<uint8_t>{0xAB, 0}));
    SafeArrayDestroy(shifted);
}

namespace {

LRESULT CALLBACK counting_window(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_APP) ++*reinterpret_cast<int*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace

TEST(ThreadQueue, DispatchesPostedMessagesWithinTheSliceAndStopsAtQuit) {
    WNDCLASSW c{};
    c.lpfnWndProc = counting_window;
    c.hInstance = GetModuleHandleW(nullptr);
    c.lpszClassName = L"VeldraPumpTest";
    RegisterClassW(&c);
    HWND window = CreateWindowExW(0, L"VeldraPumpTest", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    int seen = 0;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&seen));

    auto started = steady_clock::now();
    EXPECT_FALSE(PumpMessages());  // nothing queued: the whole slice, nothing dispatched
    EXPECT_GE(steady_clock::now() - started, std::chrono::milliseconds(90));

    PostMessageW(window, WM_APP, 0, 0);
    PostMessageW(window, WM_APP, 0, 0);
    EXPECT_TRUE(PumpMessages());
    EXPECT_EQ(seen, 2);

    // A message posted from another thread while the pump waits wakes it.
    std::thread poster([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        PostMessageW(window, WM_APP, 0, 0);
    });
    EXPECT_TRUE(PumpMessages());
    poster.join();
    EXPECT_EQ(seen, 3);

    // A quit message is taken from the queue and does not stop later pumping.
    PostQuitMessage(0);
    PostMessageW(window, WM_APP, 0, 0);
    while (PumpMessages()) {}
    EXPECT_EQ(seen, 4);
    PostMessageW(window, WM_APP, 0, 0);
    EXPECT_TRUE(PumpMessages());
    EXPECT_EQ(seen, 5);
    DestroyWindow(window);
}
