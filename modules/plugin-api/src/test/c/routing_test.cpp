#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "api_ctx.h"
#include "log.h"
#include "plugin-api.h"

namespace {

std::string route(const std::string& request, Watcher* watcher = nullptr) {
    Watcher local;
    api_ctx ctx;
    ctx.watcher = watcher ? watcher : &local;
    char* text = handle_command(&ctx, request.c_str());
    std::string copy(text);
    std::free(text);
    return copy;
}

std::string error(int code, const std::string& message) {
    return "{\"error\": { \"code\":" + std::to_string(code) + ",\"id\":" + std::to_string(code) + ",\"message\":\"" +
           message + "\"}}\n";
}

}  // namespace

TEST(Routing, GetInfoAndTheDebugSwitch) {
    EXPECT_EQ(route(R"({"cmd":"GET_INFO"})"), R"({"version":"2.0.2","binVersion":"2.0.14"})");
    EXPECT_FALSE(debug_enabled.load());
    route(R"({"cmd":"GET_INFO","debug":"true"})");
    EXPECT_TRUE(debug_enabled.load());
    route(R"({"cmd":"GET_INFO","debug":true})");
    EXPECT_TRUE(debug_enabled.load());
    route(R"({"cmd":"GET_INFO","debug":"TRUE"})");
    EXPECT_FALSE(debug_enabled.load());
    route(R"({"cmd":"GET_INFO","debug":"1"})");
    EXPECT_FALSE(debug_enabled.load());
}

TEST(Routing, ErrorTextsByteForByte) {
    EXPECT_EQ(route(""), error(99, "Invalid JSON message []"));
    EXPECT_EQ(route(R"({"debug":"true"})"),
              error(99, "Invalid JSON message [{ debug : true }]. [cmd] value not found"));
    EXPECT_EQ(route(R"({"cmd":"get_info"})"),
              error(99, "Error handling JSON message [{ cmd : get_info }]. Unknown command [get_info]"));
    EXPECT_EQ(route(R"({"cmd":"TIMEOUT","sleep":1})"), error(99, "Missing or invalid parameters"));
    // A quoted request never carries the PIN or the token.
    EXPECT_EQ(
        route(R"({"cmd":"NOPE","pin":"1234","pinToken":"QUJD"})"),
        error(99, "Error handling JSON message [{ cmd : NOPE , pin : *** , pinToken : *** }]. Unknown command [NOPE]"));
    debug_enabled.store(false);
}

TEST(Routing, AnswersAreJsonWhateverTheRequestHolds) {
    const std::string requests[] = {R"({"cmd":"A\"B"})",
                                    "{\"cmd\":\"new\nline\"}",
                                    R"({"cmd":"back\\slash"})",
                                    "{\"cmd\":\"\xff\xfe\"}",
                                    "{\"cmd\":\"" + std::string(200, 'x') + "\"}",
                                    "[1,2",
                                    "{\"cmd\":GET_INFO}"};
    for (const auto& request : requests) {
        const std::string text = route(request);
        EXPECT_TRUE(nlohmann::json::accept(text)) << request << " -> " << text;
    }
    // An unquoted command word is a primitive, and a command all the same.
    EXPECT_EQ(route("{\"cmd\":GET_INFO}"), R"({"version":"2.0.2","binVersion":"2.0.14"})");
}

TEST(Routing, TimeoutSetsTheLimitAndSleeps) {
    Watcher watcher;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(route(R"({"cmd":"TIMEOUT","sleep":"abc","timeout":"7"})", &watcher), R"({"rested":true})");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(watcher.timeout.load(), 7'000'000'000LL);
    route(R"({"cmd":"TIMEOUT","sleep":0,"timeout":"  -2x"})", &watcher);
    EXPECT_EQ(watcher.timeout.load(), -2'000'000'000LL);
}
