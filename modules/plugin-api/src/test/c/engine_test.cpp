#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include "plugin-api-oop.h"
#include "state_home.h"
#include "user_input.h"
#include "utils.h"

using namespace std::chrono;

namespace {

class CountingInput : public user_input {
public:
    Utils::Secret ask(const PromptTexts&) override { return {}; }
    void set_timeout(int64_t) override {}
    void cancel() override { ++cancels; }
    int cancels = 0;
};

class Engine : public testing::Test {
protected:
    void SetUp() override { root_ = home_.root(); }
    // The engine's worker and watchdog are detached threads: the test waits (at most 6 s) until they
    // have ended, so that none is still releasing its libcrypto state while the process exits (the
    // leak checker of the sanitizer builds would count that state as lost).
    void TearDown() override {
        const auto deadline = steady_clock::now() + seconds(6);
        while (thread_count() > 1 && steady_clock::now() < deadline) std::this_thread::sleep_for(milliseconds(20));
    }
    // This process's threads where the system lists them (Linux); 1 elsewhere.
    static size_t thread_count() {
        std::error_code error;
        const std::filesystem::directory_iterator tasks("/proc/self/task", error);
        return error ? 1 : static_cast<size_t>(std::distance(begin(tasks), end(tasks)));
    }

    // Submits request and runs the loop until the answer arrives; returns it and the time taken.
    std::pair<std::string, milliseconds> run(const std::string& request, std::shared_ptr<user_input> input = nullptr) {
        auto dispatcher = std::make_shared<Utils::SimpleDispatcherImpl>();
        auto engine = std::make_unique<PluginApiImpl>(dispatcher, std::move(input));
        auto handler = std::make_shared<ResponseHandlerImpl>(dispatcher);
        const auto start = steady_clock::now();
        engine->submit(request, handler);
        dispatcher->run(60000);
        const auto took = duration_cast<milliseconds>(steady_clock::now() - start);
        EXPECT_TRUE(handler->has_response());
        return {handler->response(), took};
    }

    StateHome home_;
    std::string root_;
};

}  // namespace

TEST_F(Engine, DeliversTheCommandsAnswerAtOnce) {
    auto [text, took] = run(R"({"cmd":"GET_INFO"})");
    EXPECT_EQ(text, R"({"version":"2.0.2","binVersion":"2.0.14"})");
    EXPECT_LT(took.count(), 500);
    EXPECT_TRUE(std::filesystem::exists(root_ + "/Veldra/appstate"));
}

TEST_F(Engine, WatchdogAnswersFirstWhenTheLimitIsShorterThanTheWork) {
    auto [text, took] = run(R"({"cmd":"TIMEOUT","sleep":4,"timeout":1})");
    EXPECT_EQ(text,
              "{\"error\": { \"code\":14,\"id\":14,\"message\":\"Timeout processing message "
              "[{ cmd : TIMEOUT , sleep :4, timeout :1}]\"}}\n");
    EXPECT_GE(took.count(), 1000);
    EXPECT_LT(took.count(), 3000);
}

TEST_F(Engine, RaisedLimitLetsTheCommandAnswer) {
    auto [text, took] = run(R"({"cmd":"TIMEOUT","sleep":2,"timeout":0})");
    EXPECT_EQ(text, R"({"rested":true})");
    EXPECT_GE(took.count(), 2000);
}

TEST_F(Engine, MasterKeyFailureAnswersAtOnceWithItsText) {
    std::ofstream(root_ + "/blocker") << "x";
    home_.point_at(root_ + "/blocker");
    auto [text, took] = run(R"({"cmd":"GET_INFO"})");
    EXPECT_EQ(text.rfind("{\"error\": { \"code\":99,\"id\":99,\"message\":\"failed to create directory ", 0), 0u)
        << text;
    EXPECT_LT(took.count(), 500);
}

TEST_F(Engine, DestructionCancelsTheInputServiceAndStopsTheLoop) {
    auto input = std::make_shared<CountingInput>();
    {
        auto dispatcher = std::make_shared<Utils::SimpleDispatcherImpl>();
        auto engine = std::make_unique<PluginApiImpl>(dispatcher, input);
        EXPECT_EQ(engine->process(R"({"cmd":"GET_INFO"})"), R"({"version":"2.0.2","binVersion":"2.0.14"})");
        engine.reset();
        EXPECT_TRUE(dispatcher->stopped());
    }
    EXPECT_EQ(input->cancels, 1);
}
