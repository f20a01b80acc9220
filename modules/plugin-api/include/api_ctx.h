// What a command group gets besides the request: the PIN input service, the request's time limit,
// the engine's stopping flag and the master key.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

class user_input;

// A request's time limit. The watchdog fires it once the limit has passed while it is active.
struct Watcher {
    std::atomic<uint8_t> active{0};   // cleared to pause
    std::atomic<uint8_t> expired{0};  // set when fired: the command's own answer will not be used
    std::function<void(bool)> callback;
    std::atomic<int64_t> start{0};    // monotonic nanoseconds
    std::atomic<int64_t> timeout{0};  // nanoseconds, 0: never
};

// Sets the limit to seconds, counted from the watcher's start; nothing when watcher is null.
void watcher_set_timeout(Watcher* watcher, int32_t seconds);
// Restarts the count from now.
void watcher_restart(Watcher* watcher);
// Pauses the limit for a user interaction; false (and nothing paused) when it has already fired.
bool watcher_pause(Watcher* watcher);
// Ends a pause: restarts the count from now with a limit of seconds and makes the watcher active.
void watcher_resume(Watcher* watcher, int32_t seconds);

struct api_ctx {
    user_input* input = nullptr;
    Watcher* watcher = nullptr;
    const std::atomic<bool>* stopping = nullptr;
    const uint8_t* key = nullptr;
    size_t key_length = 0;
    const char* origin = nullptr;  // the caller's origin, as the browser named it to the host
    const char* site = nullptr;    // the requesting page's origin ("callerOrigin"), checked; null without
};
