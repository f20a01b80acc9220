#include <gtest/gtest.h>

#include <chrono>

#include "com.h"
#include "message_pump.h"
#include "signing_device_factory.h"

using namespace BioSigningDevice;

namespace {

class ListFactory : public ISigningDeviceFactory {
public:
    ListFactory(std::vector<PadDescription> pads, std::shared_ptr<ISigningDevice> device = nullptr)
        : pads_(std::move(pads)), device_(std::move(device)) {}
    std::vector<PadDescription> Enumerate() override { return pads_; }
    std::shared_ptr<ISigningDevice> CreateDevice(const std::string& name) override {
        ++asked;
        return device_ && name == pads_.at(0).name ? device_ : nullptr;
    }
    std::shared_ptr<SigningSession> OpenSession(const std::string&) override { return nullptr; }
    int asked = 0;

private:
    std::vector<PadDescription> pads_;
    std::shared_ptr<ISigningDevice> device_;
};

class NullDevice : public ISigningDevice {
public:
    void SetImage(std::vector<uint8_t>, Rect, bool) override {}
    void SetTexts(const std::string&, const std::string&) override {}
    void SetHash(const std::vector<uint8_t>&) override {}
    void CaptureSignature(const std::atomic<bool>*, int64_t, int64_t, std::string*) override {}
    PadDescription GetDescription() override { return {}; }
    std::string GetSignatureData() override { return {}; }
    std::vector<uint8_t> GetImage() override { return {}; }
    std::vector<uint8_t> PKCSSign(const std::vector<uint8_t>&) override { return {}; }
};

PadDescription pad(const char* name) {
    PadDescription description;
    description.name = name;
    return description;
}

}  // namespace

TEST(SigningDeviceFactory, ListsChildrenInOrderAndTheFirstDeviceWins) {
    auto first = std::make_shared<ListFactory>(std::vector<PadDescription>{pad("A"), pad("B")});
    auto deviceC = std::make_shared<NullDevice>();
    auto second = std::make_shared<ListFactory>(std::vector<PadDescription>{pad("C")}, deviceC);
    auto third = std::make_shared<ListFactory>(std::vector<PadDescription>{pad("C")}, std::make_shared<NullDevice>());
    SigningDeviceFactory factory({first, second, third});

    const auto pads = factory.Enumerate();
    ASSERT_EQ(pads.size(), 4u);
    EXPECT_EQ(pads[0].name + pads[1].name + pads[2].name + pads[3].name, "ABCC");
    EXPECT_EQ(factory.CreateDevice("C"), deviceC);
    EXPECT_EQ(third->asked, 0);
    EXPECT_EQ(factory.CreateDevice("nobody"), nullptr);
    EXPECT_EQ(factory.OpenSession("x"), nullptr);
    EXPECT_EQ(SigningDeviceFactory({}).Enumerate().size(), 0u);
}

TEST(ComInit, BalancesTheThreadsApartmentAndFallsBackToMultiThreaded) {
    ASSERT_EQ(ComInitDepth(), 0);
    {
        ComInit outer;
        EXPECT_EQ(outer.Result(), S_OK);
        {
            ComInit inner;
            EXPECT_EQ(inner.Result(), S_FALSE);
            EXPECT_EQ(ComInitDepth(), 2);
        }
        EXPECT_EQ(ComInitDepth(), 1);
    }
    EXPECT_EQ(ComInitDepth(), 0);

    ASSERT_EQ(ComInitialize(Apartment::MultiThreaded), S_OK);
    {
        ComInit guard;  // the thread is multi-threaded already: the guard joins it
        EXPECT_EQ(guard.Result(), S_FALSE);
    }
    EXPECT_EQ(ComInitDepth(), 1);
    ComUninitialize();
    EXPECT_EQ(ComInitDepth(), 0);
}

TEST(ComError, CarriesTheCodeAndTheInterface) {
    try {
        ThrowIfFailed(E_POINTER, "{IID}");
        FAIL();
    } catch (const ComError& e) {
        EXPECT_EQ(e.Error(), E_POINTER);
        EXPECT_EQ(e.Interface(), "{IID}");
    }
    EXPECT_NO_THROW(ThrowIfFailed(S_FALSE, "{IID}"));
}

TEST(PumpMessages, DispatchesTheThreadsSourceOrWaitsASlice) {
    struct Source : IMessageSource {
        int calls = 0, lastTimeout = 0;
        bool Pump(int timeoutMs) override {
            ++calls;
            lastTimeout = timeoutMs;
            return calls == 1;
        }
    } source;
    {
        MessageSourceScope scope(&source);
        EXPECT_TRUE(PumpMessages());
        EXPECT_FALSE(PumpMessages());
        EXPECT_EQ(source.lastTimeout, 100);
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(PumpMessages());
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));
    EXPECT_EQ(source.calls, 2);
}
