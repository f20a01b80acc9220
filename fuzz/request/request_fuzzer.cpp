// The whole request path of the host in one process: the frame reader, JSON, command routing and
// every command group, over the in-process PC/SC library with its emulated card and a PIN
// dialog that answers at once. After every input it checks what a browser relies on: exactly
// one frame written, holding one JSON object (an error object of the program's form or an
// answer), no PC/SC handle left open, no PIN digit in the log. The sanitizers and libFuzzer
// find the rest (memory errors, leaks, undefined behaviour, inputs that hang).
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

#include "api_ctx.h"
#include "clock.h"
#include "extension_io.h"
#include "fuzz_input.h"
#include "fuzz_io.h"
#include "fuzz_pcsc.h"
#include "json.h"
#include "log.h"
#include "plugin-api.h"
#include "user_input.h"

namespace {

// The calendar stands still: at 2026-06-01 00:00:00 UTC, after the eIDAS 2.0 rule's start (the
// tokens of the seed corpus were sealed for this moment), or at 2026-01-01, before it.
constexpr int64_t kAfterRuleMs = 1780272000000;
constexpr int64_t kBeforeRuleMs = 1767225600000;
int64_t calendarNow = kAfterRuleMs;
int64_t fixed_calendar() { return calendarNow; }

// The master key the fuzzer's state store would hold; the seed tokens are sealed under it.
const uint8_t kMasterKey[32] = {0x76, 0x65, 0x6c, 0x64, 0x72, 0x61, 0x2d, 0x66, 0x75, 0x7a, 0x7a,
                                0x2d, 0x6d, 0x61, 0x73, 0x74, 0x65, 0x72, 0x2d, 0x6b, 0x65, 0x79,
                                0x2d, 0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38};

[[noreturn]] void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "\n*** request fuzzer: %s\n%s\n", what, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

class FuzzDialog : public user_input {
public:
    explicit FuzzDialog(FuzzInput::Dialog answer) : answer_(answer) {}
    Utils::Secret ask(const PromptTexts& texts) override { return Utils::Secret(answer(texts)); }
    std::string answer(const PromptTexts& texts) {
        if (!texts.title || !texts.prompt) fail("dialog texts", "a null title or prompt");
        switch (answer_) {
        case FuzzInput::Dialog::Pin: return FuzzPcsc::kCardPin;
        case FuzzInput::Dialog::Cancel: return "";
        case FuzzInput::Dialog::Blanks: return std::string(" \t") + FuzzPcsc::kCardPin + "\t ";
        case FuzzInput::Dialog::Throws: throw std::runtime_error("dialog failed");
        case FuzzInput::Dialog::Letter: return "59a847";
        case FuzzInput::Dialog::TooLong: return "5918475918475";
        case FuzzInput::Dialog::OnlyBlanks: return "  \t ";
        case FuzzInput::Dialog::WrongPin: return "000000";
        }
        return "";
    }
    void set_timeout(int64_t) override {}
    void cancel() override {}

private:
    FuzzInput::Dialog answer_;
};

std::string frame(const std::string& text) {
    const auto n = static_cast<uint32_t>(text.size());
    std::string out{static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                    static_cast<char>(n >> 24)};
    return out + text;
}

// The answer a process gives when no request came (what the process entry writes).
std::string no_request_answer() {
    json_response builder;
    json_response_init(&builder);
    json_response_error(&builder, 99, "No request received after %d seconds", EXTENSION_READ_WINDOW_SECONDS);
    std::string text = builder.data;
    json_response_free(&builder);
    return text;
}

void check_answer(const std::string& answer) {
    nlohmann::json parsed;
    try {
        parsed = nlohmann::json::parse(answer);  // one value, nothing but blanks after it, valid UTF-8
    } catch (const std::exception& e) {
        fail("the answer is not one JSON value", std::string(e.what()) + "\nanswer: " + answer);
    }
    if (!parsed.is_object()) fail("the answer is not a JSON object", answer);
    if (parsed.contains("error")) {
        const auto& error = parsed["error"];
        if (parsed.size() != 1 || !error.is_object() || error.size() != 3 || !error["code"].is_number_integer() ||
            !error["id"].is_number_integer() || !error["message"].is_string())
            fail("an error answer not of the program's form", answer);
    } else if (!answer.empty() && answer.back() == '\n') {
        fail("only error answers end in a newline", answer);
    }
}

// Set while the request runs on this thread: its sleeps return at once, since a TIMEOUT request
// may ask for a day. Other threads (libFuzzer's among them) sleep as usual.
thread_local bool inRequest = false;

// VELDRA_FUZZ_SHOW=1 prints every answer (for looking at what a corpus does).
bool showAnswers = false;

}  // namespace

extern "C" int clock_nanosleep(clockid_t clock, int flags, const struct timespec* request, struct timespec* rem) {
    if (inRequest) {
        if (rem) *rem = timespec{0, 0};
        return 0;
    }
    const long rv = syscall(SYS_clock_nanosleep, clock, flags, request, rem);
    return rv == 0 ? 0 : errno;
}
extern "C" int nanosleep(const struct timespec* request, struct timespec* rem) {
    const int rv = clock_nanosleep(CLOCK_REALTIME, 0, request, rem);
    if (rv == 0) return 0;
    errno = rv;
    return -1;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Utils::set_calendar_clock(fixed_calendar);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    FuzzPcsc::Init();
    const char* show = std::getenv("VELDRA_FUZZ_SHOW");
    showAnswers = show && std::strcmp(show, "1") == 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const FuzzInput::Input in = FuzzInput::Parse(data, size);
    FuzzIo::SetInput(in.rawFrame ? in.body : frame(in.body));
    FuzzPcsc::Begin(in.pcsc);
    calendarNow = in.beforeEidasRule ? kBeforeRuleMs : kAfterRuleMs;
    if (in.forceEidasFail) setenv("VELDRA_FORCE_EIDAS2_FAIL", "1", 1);
    else unsetenv("VELDRA_FORCE_EIDAS2_FAIL");
    if (in.skipEidas) setenv("VELDRA_SKIP_EIDAS2", "1", 1);
    else unsetenv("VELDRA_SKIP_EIDAS2");

    // The host's log goes to memory, to be searched, and keeps libFuzzer's output readable.
    char* logText = nullptr;
    size_t logLength = 0;
    FILE* realStderr = stderr;
    FILE* log = open_memstream(&logText, &logLength);
    if (!log) fail("open_memstream", "");
    stderr = log;

    std::string answer;
    inRequest = true;
    if (char* request = extension_read_request()) {
        FuzzDialog dialog(in.dialog);
        Watcher watcher;
        watcher.active.store(1);
        watcher_set_timeout(&watcher, 10);
        std::atomic<bool> stopping{false};
        api_ctx ctx;
        ctx.input = &dialog;
        ctx.watcher = &watcher;
        ctx.stopping = &stopping;
        ctx.key = kMasterKey;
        ctx.key_length = sizeof kMasterKey;
        char* text = handle_command(&ctx, request);
        if (!text) fail("handle_command returned null", in.body);
        answer = text;
        std::free(text);
        std::free(request);
    } else {
        answer = no_request_answer();
    }
    inRequest = false;
    extension_write_response(answer.c_str());
    debug_enabled.store(false);

    stderr = realStderr;
    std::fclose(log);
    const std::string logged(logText, logLength);
    std::free(logText);

    const std::string written = FuzzIo::TakeOutput();
    if (written != frame(answer)) fail("the written frame is not the answer's one frame", answer);
    if (showAnswers) std::fprintf(stderr, "answer: %s\n", answer.c_str());
    check_answer(answer);
    const std::string open = FuzzPcsc::OpenHandles();
    if (!open.empty()) fail("PC/SC handles left open", open + "\nanswer: " + answer);
    // The card holder's PIN came from the dialog, the pinpad or a token; where the input does not
    // carry it itself, no log line may.
    const std::string input(reinterpret_cast<const char*>(data), size);
    if (input.find(FuzzPcsc::kCardPin) == std::string::npos && logged.find(FuzzPcsc::kCardPin) != std::string::npos)
        fail("the PIN reached the log", logged);
    return 0;
}
