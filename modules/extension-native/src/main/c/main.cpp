// The whole life of one host process: one framed request in, one framed answer out, exit code 0.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "extension_io.h"
#include "i18n.h"
#include "json.h"
#include "log.h"
#include "plugin-api-oop.h"
#include "process_start.h"
#include "secret.h"
#include "user_input.h"
#include "utils.h"

namespace {

constexpr uint64_t RUN_LIMIT_MS = 600000;
// The watchdog's first check is 1 s after the submission: its thread is started only for a request
// still running shortly before then, so most processes never pay for it.
constexpr uint64_t WATCHDOG_START_MS = 900;
constexpr int64_t PIN_DIALOG_TIMEOUT_SECONDS = 61;

// Ends the process without running static destructors, so that a worker thread still busy
// (a request that timed out, say) can neither crash the exit nor change its code.
[[noreturn]] void finish() {
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(0);
}

// The calling extension, to which PIN tokens are bound: Chrome and Chromium name its origin
// ("chrome-extension://ID/") as the first argument; Firefox passes the manifest's path first and the
// add-on's id second.
std::string caller_origin(int argc, char** argv) {
    if (argc < 2 || !argv[1]) return "";
    const std::string first = argv[1];
    if (first.rfind("chrome-extension://", 0) != 0 && argc > 2 && argv[2]) return argv[2];
    return first;
}

// Runs the request and writes its answer as soon as it is known; the engine, its loop and watchdog
// are torn down only after that, so a slow teardown (an open dialog being cancelled) never keeps the
// browser waiting.
void answer_request(const std::string& request, const std::string& origin) {
    std::shared_ptr<user_input> input = create_user_input();
    if (input) input->set_timeout(PIN_DIALOG_TIMEOUT_SECONDS);
    auto dispatcher = std::make_shared<Utils::SimpleDispatcherImpl>();
    auto engine = std::make_unique<PluginApiImpl>(dispatcher, input, origin);
    auto handler = std::make_shared<ResponseHandlerImpl>(dispatcher);
    engine->defer_watchdog();
    engine->submit(request, handler);
    dispatcher->run(WATCHDOG_START_MS);
    if (!handler->has_response()) {
        engine->start_watchdog();
        dispatcher->run(RUN_LIMIT_MS - WATCHDOG_START_MS);
    }
    std::string response = handler->response();
    if (!handler->has_response()) {  // the request's own limit was switched off and it never ended
        json_response builder;
        json_response_init(&builder);
        json_response_error(&builder, 14, "Timeout processing message [%s]", log_mask_secrets(request.c_str()).c_str());
        response = builder.data;
        json_response_free(&builder);
    }
    extension_write_response(response.c_str());
    handler.reset();
    engine.reset();
}

}  // namespace

int main(int argc, char** argv) {
    secure_process_start();
    configure_process_heap();
    Utils::i18n_init();  // the PIN dialog's own lines and the pad's buttons, in the user's language
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);  // a browser that went away must not change the exit code
#endif
    LOG_DEBUG("Native host started");
    char* request = extension_read_request();
    if (!request) {
        json_response builder;
        json_response_init(&builder);
        json_response_error(&builder, 99, "No request received after %d seconds", EXTENSION_READ_WINDOW_SECONDS);
        extension_write_response(builder.data);
        json_response_free(&builder);
        finish();
    }
    // The request may carry a PIN: no copy of it outlives its use.
    std::string text(request);
    Utils::wipe_bytes(request, text.size());
    std::free(request);
    answer_request(text, caller_origin(argc, argv));
    Utils::wipe(text);
    LOG_DEBUG("Native host stopped");
    finish();
}
