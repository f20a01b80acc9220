#include "utils.h"

#include <cstdio>
#include <cstdlib>

#include "log.h"

namespace Utils {

void StopListeners::add(const std::shared_ptr<StopListener>& listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    listeners_.push_back(listener);
}

void StopListeners::notify_all() {
    std::vector<std::shared_ptr<StopListener>> live;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::weak_ptr<StopListener>> kept;
        for (auto& weak : listeners_) {
            if (auto listener = weak.lock()) {
                live.push_back(listener);
                kept.push_back(weak);
            }
        }
        listeners_.swap(kept);
    }
    for (auto& listener : live) listener->notify();
}

BaseDispatchLoop::BaseDispatchLoop() : owner_(std::this_thread::get_id()) {}

BaseDispatchLoop::~BaseDispatchLoop() {
    // Only the owner may stop; a loop released last by a worker just drops its queue.
    if (!stopped_.load() && is_owner_thread()) stop();
}

void BaseDispatchLoop::assert_owner_thread() const {
    if (!is_owner_thread()) {
        std::fprintf(stderr, "Assertion failed: false, file %s, line %d\n", __FILE__, __LINE__);
        std::abort();
    }
}

void BaseDispatchLoop::reset() {
    assert_owner_thread();
    std::lock_guard<std::mutex> lock(queueLock_);
    queue_.clear();
    stopped_.store(false);
}

void BaseDispatchLoop::invoke(std::function<void()> callable) {
    LOG_UTILS("loop %p invoked", static_cast<void*>(this));
    {
        std::lock_guard<std::mutex> lock(queueLock_);
        if (stopped_.load()) return;
        queue_.push_back(std::move(callable));
    }
    if (is_owner_thread()) {
        dispatch();
    } else {
        posted();
    }
}

void BaseDispatchLoop::dispatch() {
    assert_owner_thread();
    LOG_UTILS("loop %p dispatching", static_cast<void*>(this));
    std::list<std::function<void()>> work;
    {
        std::lock_guard<std::mutex> lock(queueLock_);
        work.swap(queue_);
    }
    for (auto& callable : work) {
        if (!callable) continue;
        LOG_UTILS("loop %p dispatches", static_cast<void*>(this));
        callable();
    }
}

void BaseDispatchLoop::stop() {
    assert_owner_thread();
    {
        std::lock_guard<std::mutex> lock(queueLock_);
        if (stopped_.exchange(true)) return;
    }
    listeners_.notify_all();
    // The last drain: work queued before the stop still runs; new posts are refused.
    std::list<std::function<void()>> work;
    {
        std::lock_guard<std::mutex> lock(queueLock_);
        work.swap(queue_);
    }
    for (auto& callable : work)
        if (callable) callable();
    LOG_UTILS("loop %p stopped", static_cast<void*>(this));
}

void SimpleDispatcherImpl::wake() {
    {
        std::lock_guard<std::mutex> lock(wakeLock_);
        pending_.store(true);
    }
    wakeSignal_.notify_all();
}

void SimpleDispatcherImpl::quit() {
    {
        std::lock_guard<std::mutex> lock(wakeLock_);
        quit_.store(true);
    }
    wakeSignal_.notify_all();
}

bool SimpleDispatcherImpl::run(uint64_t limit_ms) {
    assert_owner_thread();
    quit_.store(false);
    const bool unlimited = limit_ms == 0;
    int64_t remaining = static_cast<int64_t>(limit_ms);
    constexpr auto step = std::chrono::milliseconds(100);
    auto stepEnd = std::chrono::steady_clock::now() + step;
    while (!quit_.load() && (unlimited || remaining > 0)) {
        bool woken;
        {
            std::unique_lock<std::mutex> lock(wakeLock_);
            woken = wakeSignal_.wait_until(lock, stepEnd, [this] { return pending_.load() || quit_.load(); });
        }
        if (pending_.exchange(false)) dispatch();
        if (!woken || std::chrono::steady_clock::now() >= stepEnd) {
            remaining -= 100;
            stepEnd = std::chrono::steady_clock::now() + step;
        }
    }
    return pending_.load();
}

}  // namespace Utils
