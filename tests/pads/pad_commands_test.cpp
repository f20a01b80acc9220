// The pad commands against a scripted pad: answers byte for byte, every error of the group, and the
// request's time limit around the capture.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <stdexcept>

#include "api_ctx.h"
#include "json.h"
#include "plugin-api-ext.h"
#include "scripted_sdk.h"
#include "wacom_sdk_device_factory.h"

using namespace BioSigningDevice;

namespace {

class FixedFactory : public ISigningDeviceFactory {
public:
    std::vector<PadDescription> pads;
    std::vector<std::shared_ptr<ISigningDevice>> devices;  // handed out in order
    bool throwOnList = false;
    int throwOnCreate = -1;  // the attempt that throws
    int creates = 0;
    std::vector<PadDescription> Enumerate() override {
        if (throwOnList) throw std::runtime_error("bus error");
        return pads;
    }
    std::shared_ptr<ISigningDevice> CreateDevice(const std::string&) override {
        const int attempt = creates++;
        if (attempt == throwOnCreate) throw std::runtime_error("pad busy");
        return attempt < static_cast<int>(devices.size()) ? devices[attempt] : nullptr;
    }
    std::shared_ptr<SigningSession> OpenSession(const std::string&) override { return nullptr; }
};

PadDescription description(const char* name, int32_t type = WacomSdk, const char* model = "M") {
    PadDescription d;
    d.type = type;
    d.name = name;
    d.model = model;
    d.width = 800;
    d.height = 480;
    d.colour = true;
    return d;
}

class PadCommandsTest : public ::testing::Test {
protected:
    scripted::Script script;
    WacomSDKDevice::SdkProvider sdk = [this] { return std::make_shared<scripted::Sdk>(script); };
    PadFactoryMaker scriptedPads = [this] { return std::make_shared<WacomSDKDeviceFactory>(sdk); };
    Watcher watcher;
    std::atomic<bool> stopping{false};
    api_ctx ctx;

    void SetUp() override {
        ctx.watcher = &watcher;
        ctx.stopping = &stopping;
        watcher.active = 1;
    }
    std::string run(const std::string& request, const PadFactoryMaker& pads) {
        json_message* message = json_parse(request.c_str());
        EXPECT_TRUE(message);
        json_response response;
        json_response_init(&response);
        const std::string cmd = nlohmann::json::parse(request)["cmd"];
        if (cmd == "GET_PADS") get_pads(&ctx, &response, pads);
        else compute_signature_image(&ctx, message, &response, pads);
        std::string text = response.data;
        json_response_free(&response);
        json_free(message);
        EXPECT_TRUE(nlohmann::json::accept(text)) << text;
        return text;
    }
    std::string capture(const std::string& members) {
        return run(R"({"cmd":"COMPUTE_SIGNATURE_IMAGE",)" + members + "}", scriptedPads);
    }
    static std::string error(int code, const std::string& message) {
        return "{\"error\": { \"code\":" + std::to_string(code) + ",\"id\":" + std::to_string(code) +
               ",\"message\":\"" + message + "\"}}\n";
    }
};

std::string base64(const std::vector<uint8_t>& bytes) { return base64_bio_encode(bytes); }

}  // namespace

TEST_F(PadCommandsTest, GetPadsAnswersInTheExactFormWithTheLimitRaised) {
    EXPECT_EQ(run(R"({"cmd":"GET_PADS"})", scriptedPads),
              R"({"padList": [{"index":0,"type":"WACOM","name":"Wacom","width":800,"height":480}]})");
    EXPECT_EQ(watcher.timeout.load(), 30'000'000'000LL);
    script.connected = false;
    EXPECT_EQ(run(R"({"cmd":"GET_PADS"})", scriptedPads), R"({"padList": []})");
}

TEST_F(PadCommandsTest, GetPadsListsTypesCertificatesAndEscapesNames) {
    auto factory = std::make_shared<FixedFactory>();
    factory->pads = {description("A\"B", StepOver), description("Wacom")};
    factory->pads[0].properties["Certificate"] = std::string("\x01\xAB\x00", 3);
    EXPECT_EQ(run(R"({"cmd":"GET_PADS"})", [&] { return factory; }),
              R"({"padList": [{"index":0,"type":"STEPOVER","name":"A\"B","certificate":"01AB00","width":800,)"
              R"("height":480},{"index":1,"type":"WACOM","name":"Wacom","width":800,"height":480}]})");
    factory->throwOnList = true;
    EXPECT_EQ(run(R"({"cmd":"GET_PADS"})", [&] { return factory; }),
              error(20, "Listing signature pads failed (bus error)"));
}

TEST_F(PadCommandsTest, ASignatureAnswersTheMetadataAndThePicture) {
    script.presses = {"Ok"};
    const std::string answer = capture(R"("pad":"Wacom","hash":"0aFF","signer":"Alice","reason":"Deal")");
    EXPECT_EQ(answer, R"({"metadata":{"1.2.528.56.1004.1.1":"STU-520 or STU-530","1.2.528.56.1004.1.2":"",)"
                      R"("1.2.528.56.1004.1.3":"AQID"},"image":")" +
                          base64({0x89, 'P', 'N', 'G'}) + "\"}");
    const std::string log = script.joined();
    EXPECT_NE(log.find("hash.SetHash bytes2"), std::string::npos);
    EXPECT_NE(log.find("who 'right' 360 'Alice'"), std::string::npos);
    EXPECT_NE(log.find("why 'right' 390 'Deal'"), std::string::npos);
    // The limit waited during the capture and counts 60 s again from its end.
    EXPECT_EQ(watcher.active.load(), 1);
    EXPECT_EQ(watcher.timeout.load(), 60'000'000'000LL);
}

TEST_F(PadCommandsTest, PropertiesComeInNameOrderBetweenModelAndPkcs) {
    auto device = std::make_shared<WacomSDKDevice>("", sdk);
    auto factory = std::make_shared<FixedFactory>();
    factory->pads = {description("Wacom", WacomSdk, "Model \"7\"")};
    factory->pads[0].properties = {{"b", "2"}, {"a", "1\n"}};
    factory->devices = {device};
    script.presses = {"Ok"};
    EXPECT_EQ(run(R"({"cmd":"COMPUTE_SIGNATURE_IMAGE","pad":"Wacom","hash":""})", [&] { return factory; }),
              R"({"metadata":{"1.2.528.56.1004.1.1":"Model \"7\"","a":"1\n","b":"2","1.2.528.56.1004.1.2":"",)"
              R"("1.2.528.56.1004.1.3":"AQID"},"image":"iVBORw=="})");
    EXPECT_EQ(script.joined().find("CreateHash"), std::string::npos);  // an empty hash binds nothing
}

TEST_F(PadCommandsTest, MissingMembersAndBadHashes) {
    EXPECT_EQ(capture(R"("hash":"00")"),
              error(99, "Message [{ cmd : COMPUTE_SIGNATURE_IMAGE , hash : 00 }] misses a field named [pad]"));
    EXPECT_EQ(capture(R"("pad":"Wacom")"),
              error(99, "Message [{ cmd : COMPUTE_SIGNATURE_IMAGE , pad : Wacom }] misses a field named [hash]"));
    for (const std::string& bad : {std::string("0aF"), std::string("0g"), std::string(102, 'a')})
        EXPECT_EQ(capture(R"("pad":"Wacom","hash":")" + bad + "\""),
                  error(7, "Invalid hash [" + bad + "]. Should be maximum 100 hex characters"));
    script.presses = {"Ok"};
    EXPECT_EQ(capture(R"("pad":"Wacom","hash":")" + std::string(100, 'F') + "\"").substr(0, 12), "{\"metadata\":");
    EXPECT_NE(script.joined().find("hash.SetHash bytes50"), std::string::npos);
}

TEST_F(PadCommandsTest, PadsThatCannotBeFoundOrOpened) {
    EXPECT_EQ(capture(R"("pad":"wacom","hash":"")"), error(21, "Signature pad [wacom] not found"));
    script.connected = false;
    EXPECT_EQ(capture(R"("pad":"Wacom","hash":"")"), error(21, "Signature pad [Wacom] not found"));

    auto device = std::make_shared<WacomSDKDevice>("", [this] {
        script.connected = true;
        return std::make_shared<scripted::Sdk>(script);
    });
    auto factory = std::make_shared<FixedFactory>();
    factory->pads = {description("P"), description("P"), description("P")};
    factory->devices = {device};
    factory->throwOnCreate = 1;  // the second attempt fails: the search stops, the first device stays
    script.presses = {"Cancel"};
    EXPECT_EQ(run(R"({"cmd":"COMPUTE_SIGNATURE_IMAGE","pad":"P","hash":""})", [&] { return factory; }),
              error(23, "No signature data, signing timed out or cancelled by user"));
    factory->devices = {};
    factory->creates = 0;
    factory->throwOnCreate = 0;
    EXPECT_EQ(run(R"({"cmd":"COMPUTE_SIGNATURE_IMAGE","pad":"P","hash":""})", [&] { return factory; }),
              error(21, "Signature pad [P] not found (pad busy)"));
    factory->throwOnList = true;
    EXPECT_EQ(run(R"({"cmd":"COMPUTE_SIGNATURE_IMAGE","pad":"P","hash":""})", [&] { return factory; }),
              error(20, "Listing signature pads failed (bus error)"));
}

TEST_F(PadCommandsTest, BackgroundImagesAreCheckedAtOnce) {
    EXPECT_EQ(capture(R"("pad":"Wacom","hash":"","image":"not base64!")"), error(99, "Invalid image encoding"));
    EXPECT_EQ(capture(R"("pad":"Wacom","hash":"","image":"=")"), error(99, "Invalid image encoding"));
    EXPECT_EQ(capture(R"("pad":"Wacom","hash":"","image":"AAAA")"),
              error(22, "Signing failed (BioSigningDevice::DeviceBase::SetImage: invalid image dimensions)"));
    EXPECT_EQ(script.joined().find("wiz.Display"), std::string::npos);  // no screen was shown
    script.presses = {"Ok"};
    EXPECT_EQ(capture(R"("pad":"Wacom","hash":"","image":"")").substr(0, 12), "{\"metadata\":");
}

TEST_F(PadCommandsTest, CaptureTroubleAndCancelling) {
    script.presses = {"Cancel"};
    EXPECT_EQ(capture(R"("pad":"Wacom","hash":"00")"),
              error(23, "No signature data, signing timed out or cancelled by user"));
    script.presses = {"Ok"};
    script.failures["sig.RenderBitmap"] = E_FAIL;
    EXPECT_EQ(capture(R"("pad":"Wacom","hash":"00")"), error(22, "Signing failed (unknown exception)"));
    script.failures.clear();
    script.captured = false;  // stopped before the user pressed anything
    stopping = true;
    EXPECT_EQ(capture(R"("pad":"Wacom","hash":"00")"),
              error(23, "No signature data, signing timed out or cancelled by user"));
}

TEST(Base64Bio, DecodesOnlyWholeValidText) {
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(base64_bio_decode("", &bytes));
    EXPECT_TRUE(bytes.empty());
    EXPECT_TRUE(base64_bio_decode("AQID", &bytes));
    EXPECT_EQ(bytes, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_TRUE(base64_bio_decode("AQ==", &bytes));
    EXPECT_EQ(bytes, (std::vector<uint8_t>{1}));
    for (const char* bad : {"=", "==", "A", "AQ=*", "AQID\\n", "!!!!", "AQI\xC3\xA9"})
        EXPECT_FALSE(base64_bio_decode(bad, &bytes)) << bad;
    EXPECT_EQ(base64_bio_encode({1, 2, 3}), "AQID");
    EXPECT_EQ(base64_bio_encode(std::vector<uint8_t>(100, 7)).size(), 136u);
    EXPECT_EQ(base64_bio_encode(std::vector<uint8_t>(3000, 7)).find('\n'), std::string::npos);
    EXPECT_EQ(base64_bio_encode({}), "");
}
