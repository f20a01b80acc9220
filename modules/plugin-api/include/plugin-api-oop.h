// The request engine: runs one request on a worker thread while the main thread's dispatch loop
// turns, and delivers exactly one answer: the command's own, or a time-out error from the watchdog.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "api_ctx.h"
#include "utils.h"

class user_input;

class _ResponseHandler {
public:
    virtual void handle(const std::string& response) = 0;
    virtual ~_ResponseHandler() = default;
    virtual bool has_response() const = 0;
    virtual std::string response() const = 0;
};

class SimpleResponseHandler : public _ResponseHandler {};

// Keeps the answer and ends the dispatcher's run.
class ResponseHandlerImpl : public SimpleResponseHandler {
public:
    explicit ResponseHandlerImpl(std::shared_ptr<Utils::SimpleDispatcher> dispatcher)
        : dispatcher_(std::move(dispatcher)) {}
    void handle(const std::string& response) override;
    bool has_response() const override { return hasResponse_; }
    std::string response() const override { return response_; }

private:
    std::shared_ptr<Utils::SimpleDispatcher> dispatcher_;
    bool hasResponse_ = false;
    std::string response_;
};

class PluginApi {
public:
    // The response for request, computed on the calling thread (no time limit, no key).
    virtual std::string process(const std::string& request) = 0;
    // Starts the request on a worker thread; the answer reaches handler on the dispatcher's thread.
    virtual void submit(const std::string& request, std::shared_ptr<_ResponseHandler> handler) = 0;
    virtual std::shared_ptr<Utils::SimpleDispatcher> dispatcher() = 0;
    virtual ~PluginApi() = default;
};

// Checks the watchers of its requests once a second on a thread of its own.
class WatchDog {
public:
    static std::shared_ptr<WatchDog> create();
    ~WatchDog();
    // Adds a watcher; the first one starts the checking thread, unless its start was deferred.
    void add(const std::shared_ptr<Watcher>& watcher);
    // Leaves the thread unstarted until start(). Its first check comes 1 s after the first watcher
    // was added, so a process whose only request is answered before then need never start it.
    void defer_start();
    // Starts the thread if it is not running: its first check 1 s after the first watcher, then one a second.
    void start();

private:
    WatchDog() = default;
    static void thread_main(std::weak_ptr<WatchDog> weak, int64_t firstCheckNs);
    void check();

    std::weak_ptr<WatchDog> self_;
    std::atomic<bool> started_{false};
    std::atomic<bool> deferred_{false};
    std::atomic<int64_t> firstAddNs_{0};  // 0: no watcher added yet
    std::mutex lock_;
    std::vector<std::weak_ptr<Watcher>> watchers_;
};

class PluginApiImpl : public PluginApi {
public:
    // origin: the caller as the browser names it to the host (its first argument); PIN tokens are
    // bound to it.
    PluginApiImpl(std::shared_ptr<Utils::SimpleDispatcher> dispatcher, std::shared_ptr<user_input> input,
                  std::string origin = {});
    ~PluginApiImpl() override;

    std::string process(const std::string& request) override;
    void submit(const std::string& request, std::shared_ptr<_ResponseHandler> handler) override;
    std::shared_ptr<Utils::SimpleDispatcher> dispatcher() override { return dispatcher_; }
    // See WatchDog::defer_start and WatchDog::start.
    void defer_watchdog() { watchDog_->defer_start(); }
    void start_watchdog() { watchDog_->start(); }

    struct _Response {
        std::string text;
        std::shared_ptr<_ResponseHandler> handler;
        std::atomic<int> state{0};  // 0 pending, 1 answered by the command, 2 timed out
        int id = 0;
    };

    struct SharedState {
        std::mutex lock;
        std::list<std::shared_ptr<_Response>> pending;
        std::shared_ptr<Utils::SimpleDispatcher> dispatcher;
        std::shared_ptr<user_input> input;
        std::string origin;
        std::atomic<bool> stopping{false};
        ~SharedState();
    };

    // Hands text to the response's handler on the dispatcher's thread, unless it was answered already.
    static void dispatch_response(const std::shared_ptr<SharedState>& state, const std::shared_ptr<_Response>& response,
                                  const std::string& text, int newState);

private:
    static void handle_request(std::shared_ptr<SharedState> state, std::shared_ptr<Watcher> watcher,
                               std::string request, std::shared_ptr<_Response> response);

    std::shared_ptr<SharedState> state_;
    std::shared_ptr<WatchDog> watchDog_;
    std::shared_ptr<Utils::SimpleDispatcher> dispatcher_;
};
