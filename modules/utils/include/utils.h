// The main thread's dispatch loop: other threads post callables, the owner thread runs them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace Utils {

class noncopyable {
protected:
    noncopyable() = default;
    ~noncopyable() = default;

public:
    noncopyable(const noncopyable&) = delete;
    noncopyable& operator=(const noncopyable&) = delete;
};

// Called once when the loop stops.
class StopListener {
public:
    explicit StopListener(std::function<void()> callback) : callback_(std::move(callback)) {}
    void notify() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (callback_) callback_();
    }

private:
    std::mutex mutex_;
    std::function<void()> callback_;
};

class StopListeners {
public:
    void add(const std::shared_ptr<StopListener>& listener);
    void notify_all();

private:
    std::mutex mutex_;
    std::vector<std::weak_ptr<StopListener>> listeners_;
};

class DispatchLoop {
public:
    virtual ~DispatchLoop() = default;
    virtual void reset() = 0;
    virtual void invoke(std::function<void()> callable) = 0;
    virtual StopListeners& stop_listeners() = 0;
    virtual void stop() = 0;
    virtual void wake() = 0;
};

class BaseDispatchLoop : public DispatchLoop, private noncopyable {
public:
    BaseDispatchLoop();
    ~BaseDispatchLoop() override;

    void reset() override;
    void invoke(std::function<void()> callable) override;
    StopListeners& stop_listeners() override { return listeners_; }
    void stop() override;

    bool is_owner_thread() const { return std::this_thread::get_id() == owner_; }
    bool stopped() const { return stopped_.load(); }

protected:
    // Runs everything queued so far; owner thread only.
    void dispatch();
    // Called after a foreign thread queued a callable.
    virtual void posted() = 0;
    void assert_owner_thread() const;

private:
    std::mutex queueLock_;
    StopListeners listeners_;
    std::list<std::function<void()>> queue_;
    std::thread::id owner_;
    std::atomic<bool> stopped_{false};
};

class SimpleDispatcher : public BaseDispatchLoop {
public:
    // Runs the loop on the owner thread for at most limit_ms (0: no limit), counted in 100 ms steps,
    // until quit() is called. Returns whether work was still pending at the end.
    virtual bool run(uint64_t limit_ms) = 0;
    virtual void quit() = 0;
};

// Sleeps until work is posted or quit is called, so a posted answer runs at once.
class SimpleDispatcherImpl : public SimpleDispatcher {
public:
    void wake() override;
    bool run(uint64_t limit_ms) override;
    void quit() override;

protected:
    void posted() override { wake(); }

private:
    std::mutex wakeLock_;
    std::condition_variable wakeSignal_;
    std::atomic<bool> pending_{false};
    std::atomic<bool> quit_{false};
};

}  // namespace Utils
