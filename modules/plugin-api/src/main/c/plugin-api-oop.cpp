#include "plugin-api-oop.h"

#include <chrono>
#include <cstdlib>
#include <thread>

#include "appstate.h"
#include "clock.h"
#include "exception_text.h"
#include "json.h"
#include "log.h"
#include "plugin-api.h"
#include "secret.h"
#include "user_input.h"
#include "veldra_assert.h"

namespace {

std::atomic<int> nextResponseId{0};
// How much of a request its submit line shows; the rest is counted.
constexpr size_t LOG_REQUEST_BYTES = 1024;

std::string error_text(int code, const char* format, const std::string& argument) {
    json_response builder;
    json_response_init(&builder);
    json_response_error(&builder, code, format, argument.c_str());
    std::string text(builder.data);
    json_response_free(&builder);
    return text;
}

// Takes ownership of a heap text from the router.
std::string take_text(char* text) {
    std::string copy(text ? text : "");
    std::free(text);
    return copy;
}

}  // namespace

void ResponseHandlerImpl::handle(const std::string& response) {
    hasResponse_ = true;
    response_ = response;
    dispatcher_->quit();
}

std::shared_ptr<WatchDog> WatchDog::create() {
    std::shared_ptr<WatchDog> dog(new WatchDog());
    dog->self_ = dog;
    return dog;
}

WatchDog::~WatchDog() { LOG_API("watchdog destruction"); }

constexpr int64_t CHECK_INTERVAL_NS = 1000000000;

void WatchDog::add(const std::shared_ptr<Watcher>& watcher) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        watchers_.push_back(watcher);
    }
    int64_t none = 0;
    firstAddNs_.compare_exchange_strong(none, Utils::monotonic_ns());
    if (!deferred_.load()) start();
}

void WatchDog::defer_start() { deferred_.store(true); }

void WatchDog::start() {
    if (started_.exchange(true)) return;
    const int64_t first = firstAddNs_.load();
    std::thread(thread_main, self_, (first ? first : Utils::monotonic_ns()) + CHECK_INTERVAL_NS).detach();
}

void WatchDog::thread_main(std::weak_ptr<WatchDog> weak, int64_t firstCheckNs) {
    int64_t wait = firstCheckNs - Utils::monotonic_ns();
    for (;;) {
        if (wait > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(wait));
        wait = CHECK_INTERVAL_NS;
        auto dog = weak.lock();
        if (!dog) {
            LOG_API("watchdog thread finished");
            return;
        }
        try {
            dog->check();
        } catch (...) {}
    }
}

void WatchDog::check() {
    std::vector<std::shared_ptr<Watcher>> due;
    {
        std::lock_guard<std::mutex> guard(lock_);
        const int64_t now = Utils::monotonic_ns();
        for (auto it = watchers_.begin(); it != watchers_.end();) {
            auto watcher = it->lock();
            if (!watcher) {
                it = watchers_.erase(it);
                continue;
            }
            const int64_t timeout = watcher->timeout.load();
            if (watcher->active.load() && timeout != 0 && now - watcher->start.load() > timeout) due.push_back(watcher);
            ++it;
        }
    }
    for (auto& watcher : due) {  // called outside the lock: a callback may add a watcher
        watcher->expired.store(1);
        if (watcher->callback) watcher->callback(false);
    }
}

PluginApiImpl::SharedState::~SharedState() { LOG_API("%p shared state destruction", static_cast<void*>(this)); }

PluginApiImpl::PluginApiImpl(std::shared_ptr<Utils::SimpleDispatcher> dispatcher, std::shared_ptr<user_input> input,
                             std::string origin)
    : state_(std::make_shared<SharedState>()), watchDog_(WatchDog::create()), dispatcher_(std::move(dispatcher)) {
    state_->dispatcher = dispatcher_;
    state_->input = std::move(input);
    state_->origin = std::move(origin);
    VELDRA_ASSERT(dispatcher_->is_owner_thread());
    dispatcher_->reset();
}

PluginApiImpl::~PluginApiImpl() {
    dispatcher_->stop();
    if (state_->input) state_->input->cancel();
    state_->stopping.store(true);
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        state_->pending.clear();
    }
}

std::string PluginApiImpl::process(const std::string& request) {
    api_ctx ctx;
    ctx.input = state_->input.get();
    ctx.origin = state_->origin.c_str();
    return take_text(handle_command(&ctx, request.c_str()));
}

void PluginApiImpl::submit(const std::string& request, std::shared_ptr<_ResponseHandler> handler) {
    auto response = std::make_shared<_Response>();
    response->handler = std::move(handler);
    response->id = nextResponseId.fetch_add(1);
    // Masked once, for this line and for the time-out's answer. The line shows the request's start
    // only: a page may send a megabyte, and the browser keeps what the host writes here.
    const std::string quoted = log_mask_secrets(request.c_str());
    LOG_API("%p submit response %d for request [%s]", static_cast<void*>(this), response->id,
            log_excerpt(quoted, LOG_REQUEST_BYTES).c_str());
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        state_->pending.push_back(response);
    }
    auto watcher = std::make_shared<Watcher>();
    std::weak_ptr<SharedState> weakState = state_;
    std::weak_ptr<_Response> weakResponse = response;
    watcher->callback = [quoted, weakState, weakResponse](bool) {
        auto state = weakState.lock();
        auto pending = weakResponse.lock();
        if (!state || !pending) return;
        dispatch_response(state, pending, error_text(14, "Timeout processing message [%s]", quoted), 2);
    };
    watcher->start.store(Utils::monotonic_ns());
    watchDog_->add(watcher);
    watcher_set_timeout(watcher.get(), 10);
    watcher->active.store(1);
    std::thread(handle_request, state_, watcher, request, response).detach();
}

void PluginApiImpl::handle_request(std::shared_ptr<SharedState> state, std::shared_ptr<Watcher> watcher,
                                   std::string request, std::shared_ptr<_Response> response) {
    std::string text;
    uint8_t key[MASTER_KEY_LENGTH];
    try {
        load_master_key(key);
        api_ctx ctx;
        ctx.input = state->input.get();
        ctx.watcher = watcher.get();
        ctx.stopping = &state->stopping;
        ctx.key = key;
        ctx.key_length = MASTER_KEY_LENGTH;
        ctx.origin = state->origin.c_str();
        LOG_API("obtaining response %d", response->id);
        text = take_text(handle_command(&ctx, request.c_str()));
    } catch (...) {
        text = error_text(99, "%s", Utils::current_exception_text(Utils::EmptyWhat::Keep).c_str());
    }
    Utils::wipe(key);
    Utils::wipe(request);  // it may hold a PIN
    dispatch_response(state, response, text, 1);
    LOG_API("thread %d done", response->id);
}

void PluginApiImpl::dispatch_response(const std::shared_ptr<SharedState>& state,
                                      const std::shared_ptr<_Response>& response, const std::string& text,
                                      int newState) {
    bool found = false;
    {
        std::lock_guard<std::mutex> guard(state->lock);
        for (auto it = state->pending.begin(); it != state->pending.end(); ++it) {
            if (*it != response) continue;
            LOG_API("response %d set to state %d", response->id, newState);
            response->state.exchange(newState);
            response->text = text;
            state->pending.erase(it);
            found = true;
            break;
        }
    }
    if (!found) return;
    auto handler = response->handler;
    auto delivered = response->text;
    state->dispatcher->invoke([handler, delivered] { handler->handle(delivered); });
}
