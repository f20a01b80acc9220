// The pad and system command group: which commands it owns and what it answers without a pad.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "plugin-api-ext.h"

namespace {

struct GroupRun {
    bool owned = false;
    std::string text;
    int32_t timeoutSeconds = 0;
};

GroupRun run_group(const std::string& request) {
    json_message* message = json_parse(request.c_str());
    EXPECT_NE(message, nullptr) << request;
    GroupRun run;
    if (!message) return run;
    char cmd[100];
    json_get_value(message, "cmd", cmd, sizeof cmd);
    Watcher watcher;
    api_ctx ctx;
    ctx.watcher = &watcher;
    json_response* response = json_response_new();
    run.owned = pad_command_group(&ctx, message, cmd, response);
    char* text = json_response_release(response);
    run.text = text;
    std::free(text);
    run.timeoutSeconds = static_cast<int32_t>(watcher.timeout.load() / 1000000000LL);
    json_free(message);
    return run;
}

std::string error(int code, const std::string& message) {
    return "{\"error\": { \"code\":" + std::to_string(code) + ",\"id\":" + std::to_string(code) + ",\"message\":\"" +
           message + "\"}}\n";
}

}  // namespace

TEST(PadCommandGroup, LeavesOtherCommandsToTheCaller) {
    for (const char* request : {R"({"cmd":"GET_READERS"})", R"({"cmd":"get_pads"})", R"({"cmd":"GET_PADS "})",
                                R"({"cmd":"GET_SYSTEM_INF"})"}) {
        const GroupRun run = run_group(request);
        EXPECT_FALSE(run.owned) << request;
        EXPECT_EQ(run.text, "") << request;
        EXPECT_EQ(run.timeoutSeconds, 0) << request;
    }
}

TEST(PadCommandGroup, GetPadsWithoutPadsAnswersAnEmptyList) {
    const GroupRun run = run_group(R"({"cmd":"GET_PADS"})");
    EXPECT_TRUE(run.owned);
    EXPECT_EQ(run.text, "{\"padList\": []}");
    EXPECT_EQ(run.timeoutSeconds, 30);
}

TEST(PadCommandGroup, ComputeSignatureImageChecksTheRequestThenFindsNoPad) {
    GroupRun run = run_group(R"({"cmd":"COMPUTE_SIGNATURE_IMAGE","pad":"Wacom","hash":"0aFF"})");
    EXPECT_TRUE(run.owned);
    EXPECT_EQ(run.text, error(21, "Signature pad [Wacom] not found"));
    EXPECT_EQ(run.timeoutSeconds, 60);

    EXPECT_EQ(run_group(R"({"cmd":"COMPUTE_SIGNATURE_IMAGE","pad":"Wacom","hash":""})").text,
              error(21, "Signature pad [Wacom] not found"));
    EXPECT_EQ(
        run_group(R"({"cmd":"COMPUTE_SIGNATURE_IMAGE","pad":"Wacom","hash":")" + std::string(100, 'a') + R"("})").text,
        error(21, "Signature pad [Wacom] not found"));
}

TEST(PadCommandGroup, ComputeSignatureImageRejectsMissingMembersAndBadHashes) {
    GroupRun run = run_group(R"({"cmd":"COMPUTE_SIGNATURE_IMAGE","hash":"00"})");
    EXPECT_TRUE(run.owned);
    EXPECT_EQ(run.text,
              error(99, "Message [{ cmd : COMPUTE_SIGNATURE_IMAGE , hash : 00 }] misses a field named [pad]"));
    EXPECT_EQ(run.timeoutSeconds, 0);  // answered before the capture's limit is set

    EXPECT_EQ(run_group(R"({"cmd":"COMPUTE_SIGNATURE_IMAGE","pad":"Wacom"})").text,
              error(99, "Message [{ cmd : COMPUTE_SIGNATURE_IMAGE , pad : Wacom }] misses a field named [hash]"));
    for (const std::string& hash : {std::string("0aF"), std::string("0g"), std::string(102, 'a')}) {
        EXPECT_EQ(run_group(R"({"cmd":"COMPUTE_SIGNATURE_IMAGE","pad":"Wacom","hash":")" + hash + R"("})").text,
                  error(7, "Invalid hash [" + hash + "]. Should be maximum 100 hex characters"))
            << hash;
    }
}

TEST(PadCommandGroup, ErrorsStayValidJsonWhateverThePadNameHolds) {
    // A name cut inside an escape sequence, and escapes of every kind.
    const std::string longName = std::string(497, 'x') + "\\\\";
    for (const std::string& pad : {std::string("a\\\"b\\\\c\\u0001"), longName}) {
        const GroupRun run = run_group(R"({"cmd":"COMPUTE_SIGNATURE_IMAGE","hash":"","pad":")" + pad + R"("})");
        EXPECT_TRUE(nlohmann::json::accept(run.text)) << run.text;
        EXPECT_NE(run.text.find("\"code\":21"), std::string::npos) << run.text;
    }
}

TEST(PadCommandGroup, GetSystemInfoAnswersItsLists) {
    const GroupRun run = run_group(R"({"cmd":"GET_SYSTEM_INFO"})");
    EXPECT_TRUE(run.owned);
    EXPECT_EQ(run.timeoutSeconds, 60);
    const auto parsed = nlohmann::json::parse(run.text);
    EXPECT_TRUE(parsed["deviceList"].is_array()) << run.text;
    ASSERT_EQ(parsed["packageList"].size(), 2u) << run.text;
    EXPECT_EQ(run.text.rfind("{\"deviceList\": [", 0), 0u);
    EXPECT_NE(run.text.find("],\"packageList\": [{\"index\":0,\"component\":\"stepover\",\"version\":"),
              std::string::npos);
}
