// Test doubles of the comm interfaces and of user_input for the card command tests, and a helper
// that runs one request through the card command group.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "api_ctx.h"
#include "appstate.h"
#include "comm_base.h"
#include "json.h"
#include "plugin-api-pkcs-handlers.h"
#include "scard_comm.h"
#include "user_input.h"

namespace pkcstest {

// One card in one reader: a PIN with a try counter, files by path, and a record of what was sent.
struct FakeCard {
    std::string pin = "1234";
    int tries = 3;
    std::string padPin = "1234";  // what the user types on a PIN-pad reader
    std::map<std::string, std::vector<uint8_t>> files;
    std::vector<uint8_t> serial = {0x53, 0x4C, 0x49, 0x4E};  // from its token information; empty: none
    std::function<void()> onRead;                            // runs before each ReadFile (may throw)
    std::function<void()> onSign;                            // runs before the signature is computed (may throw)
    std::function<void()> onVerify;  // runs while the PIN is verified (after the listener's start)
    // Recorded.
    std::vector<std::string> readPaths;
    std::vector<std::string> verifiedPins;
    std::vector<std::vector<uint8_t>> signedData;
    std::vector<std::string> signKeys;
    std::vector<bool> beid18Flags;
    int cardTypeCalls = 0;
};

class FakeReader : public SZidaZaru::ISCardReader {
public:
    FakeReader(std::string name, bool pinPad, std::vector<uint8_t> atr, int cardType, std::shared_ptr<FakeCard> card)
        : name_(std::move(name)), pinPad_(pinPad), atr_(std::move(atr)), cardType_(cardType), card_(std::move(card)) {}

    std::function<void()> onConnect;  // may throw

    bool IsPinPadReader() override { return pinPad_; }
    bool IsCardPresent() override { return card_ != nullptr; }
    int GetCardType() override {
        if (card_) ++card_->cardTypeCalls;
        return card_ ? cardType_ : 0;
    }
    void Connect() override {
        if (onConnect) onConnect();
        if (!card_) throw Utils::api_exception("error calling SCardConnect", static_cast<int32_t>(0x8010000C), 0);
    }
    void SetPinPadListener(std::function<void(bool)> listener) override { listener_ = std::move(listener); }
    std::vector<uint8_t> ReadFile(const std::string& path) override {
        card_->readPaths.push_back(path);
        if (card_->onRead) card_->onRead();
        auto file = card_->files.find(path);
        if (file == card_->files.end()) throw Utils::api_exception("error SW", 0x6A82, 0x00A4080C);
        return file->second;
    }
    bool VerifyPin(const Utils::Secret& pin) override {
        if (listener_) listener_(true);
        struct End {
            std::function<void(bool)>& l;
            ~End() {
                if (l) l(false);
            }
        } end{listener_};
        if (card_->onVerify) card_->onVerify();
        const std::string entered = pinPad_ ? card_->padPin : pin.text();
        card_->verifiedPins.push_back(entered);
        if (card_->tries == 0) {
            remaining_ = 0;
            throw CommBase::CommException("Error verifying PIN; card blocked", 3, 0);
        }
        if (entered != card_->pin) {
            remaining_ = --card_->tries;
            throw CommBase::CommException("Error verifying PIN; invalid pin; remaining " + std::to_string(remaining_),
                                          6, remaining_);
        }
        card_->tries = 3;
        remaining_ = -1;
        return true;
    }
    std::vector<uint8_t> Sign(const Utils::Secret& pin, const std::string& keyId,
                              const std::vector<uint8_t>& data) override {
        return SignBeid18(pin, keyId, data, false);
    }
    std::vector<uint8_t> SignBeid18(const Utils::Secret& pin, const std::string& keyId,
                                    const std::vector<uint8_t>& data, bool beid18) override {
        VerifyPin(pin);
        card_->signedData.push_back(data);
        card_->signKeys.push_back(keyId);
        card_->beid18Flags.push_back(beid18);
        if (card_->onSign) card_->onSign();
        return {0xDE, 0xAD, 0xBE, 0xEF};
    }
    std::vector<uint8_t> GetCardSerial() override { return card_ ? card_->serial : std::vector<uint8_t>{}; }
    std::vector<uint8_t> GetAtr() override { return card_ ? atr_ : std::vector<uint8_t>{}; }
    int GetRemainingAttempts() override { return remaining_; }
    std::vector<uint8_t> SelectEmvApplication() override { return {}; }
    std::vector<uint8_t> GetProcessingOptions(const std::vector<uint8_t>&) override { return {}; }
    std::vector<uint8_t> ReadRecord(uint8_t, int) override { return {}; }
    std::vector<uint8_t> SelectPkcs15Application() override { return {}; }
    std::vector<uint8_t> SelectFile(const std::vector<uint8_t>&) override { return {}; }
    std::vector<uint8_t> ReadRecordInCurrentFile(uint8_t) override { return {}; }
    SZidaZaru::SignChallengeResult SignChallenge(uint32_t, const std::vector<uint8_t>&, const std::string&) override {
        return {};
    }

    std::function<void(bool)>& listener() { return listener_; }

private:
    std::string name_;
    bool pinPad_;
    std::vector<uint8_t> atr_;
    int cardType_;
    std::shared_ptr<FakeCard> card_;
    std::function<void(bool)> listener_;
    int remaining_ = -1;
};

// A reader of another kind of library: no PC/SC view.
class OtherReader : public CommBase::ICommReader {
public:
    bool IsPinPadReader() override { return false; }
    bool IsCardPresent() override { return true; }
    int GetCardType() override { return 1; }
    void Connect() override {}
    void SetPinPadListener(std::function<void(bool)>) override {}
    std::vector<uint8_t> ReadFile(const std::string&) override { return {0x01}; }
    bool VerifyPin(const Utils::Secret&) override { return true; }
    std::vector<uint8_t> Sign(const Utils::Secret&, const std::string&, const std::vector<uint8_t>&) override {
        return {};
    }
    std::vector<uint8_t> SignBeid18(const Utils::Secret&, const std::string&, const std::vector<uint8_t>&,
                                    bool) override {
        return {};
    }
};

class FakeLibrary : public CommBase::ICommLibrary {
public:
    explicit FakeLibrary(std::string name) : name_(std::move(name)) {}

    std::vector<std::string> names;                                         // as listed
    std::map<std::string, std::shared_ptr<CommBase::ICommReader>> readers;  // as GetReader finds them
    bool capability = false;
    std::function<void()> onList;  // may throw

    std::vector<std::string> ListReaders() override {
        if (onList) onList();
        return names;
    }
    std::shared_ptr<CommBase::ICommReader> GetReader(const std::string& name) override {
        auto found = readers.find(name);
        return found == readers.end() ? nullptr : found->second;
    }
    bool HasCapability() override { return capability; }
    std::string GetName() override { return name_; }
    std::string GetFilePath(int fileId, int) override {
        return fileId == 0 ? SZidaZaru::kSignatureKey : fileId == 1 ? SZidaZaru::kAuthenticationKey : "";
    }

    // Adds a listed reader; a null card leaves it empty.
    std::shared_ptr<FakeReader> add(const std::string& name, std::shared_ptr<FakeCard> card,
                                    std::vector<uint8_t> atr = {0x3B, 0x98, 0x13, 0x40, 0x0A, 0xA5, 0x03, 0x01, 0x01,
                                                                0x01, 0xAD, 0x13, 0x11},
                                    int cardType = 1, bool pinPad = false) {
        auto reader = std::make_shared<FakeReader>(name, pinPad, std::move(atr), cardType, std::move(card));
        names.push_back(name);
        readers[name] = reader;
        return reader;
    }

private:
    std::string name_;
};

class FakeFactory : public CommBase::ICommFactory {
public:
    std::vector<std::shared_ptr<FakeLibrary>> libraries;
    std::vector<std::string> ListLibraries() override {
        std::vector<std::string> names;
        for (auto& l : libraries) names.push_back(l->GetName());
        return names;
    }
    std::shared_ptr<CommBase::ICommLibrary> OpenLibrary(const std::string& name) override {
        for (auto& l : libraries)
            if (name.empty() || l->GetName() == name) return l;
        return nullptr;
    }
    FakeLibrary& library(const std::string& name = "__zidazaru__") {
        libraries.push_back(std::make_shared<FakeLibrary>(name));
        return *libraries.back();
    }
};

// A PIN dialog that answers from a script and records the texts it was shown.
class FakeUserInput : public user_input {
public:
    std::vector<std::string> answers;  // one per ask; empty when exhausted
    bool throws = false;
    std::vector<std::string> titles, prompts;
    Watcher* watcher = nullptr;  // its active flag is recorded during ask
    std::vector<int> activeDuringAsk;

    Utils::Secret ask(const PromptTexts& texts) override {
        titles.push_back(texts.title);
        prompts.push_back(texts.prompt);
        if (watcher) activeDuringAsk.push_back(watcher->active.load());
        if (throws) throw std::runtime_error("dialog failed");
        if (answers.empty()) return {};
        Utils::Secret answer = Utils::Secret::copy_of(answers.front());
        answers.erase(answers.begin());
        return answer;
    }
    void set_timeout(int64_t) override {}
    void cancel() override {}
};

// A request context with a master key, a watcher and optionally a dialog.
struct Context {
    uint8_t key[MASTER_KEY_LENGTH] = {7, 7, 7, 7, 1, 2, 3, 4};
    Watcher watcher;
    FakeUserInput input;
    api_ctx ctx;
    explicit Context(bool withDialog = true) {
        ctx.key = key;
        ctx.key_length = MASTER_KEY_LENGTH;
        ctx.watcher = &watcher;
        ctx.input = withDialog ? &input : nullptr;
        watcher.active.store(1);
        input.watcher = &watcher;
    }
};

struct Answer {
    bool handled = false;
    std::string text;
    nlohmann::json json;
};

// Runs one request; the answer must be one valid JSON text.
inline Answer run(CommBase::ICommFactory& factory, const std::string& request, api_ctx* ctx) {
    json_message* message = json_parse(request.c_str());
    EXPECT_NE(message, nullptr) << request;
    char cmd[100];
    json_get_value(message, "cmd", cmd, sizeof cmd);
    json_response* response = json_response_new();
    Answer answer;
    answer.handled = run_card_command(factory, cmd, message, ctx, response);
    answer.text = response->data;
    json_response_free(response);
    json_free(message);
    if (answer.handled) {
        answer.json = nlohmann::json::parse(answer.text, nullptr, false);
        EXPECT_FALSE(answer.json.is_discarded()) << answer.text;
    }
    return answer;
}

inline std::string error_text(int code, int id, const std::string& message) {
    return "{\"error\": { \"code\":" + std::to_string(code) + ",\"id\":" + std::to_string(id) + ",\"message\":\"" +
           message + "\"}}\n";
}

inline std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out += static_cast<char>(v);
    return out;
}

}  // namespace pkcstest
