#include "api_ctx.h"

#include "clock.h"

void watcher_set_timeout(Watcher* watcher, int32_t seconds) {
    if (!watcher) return;
    watcher->timeout.store(static_cast<int64_t>(seconds) * 1000000000LL);
}

void watcher_restart(Watcher* watcher) {
    if (!watcher) return;
    watcher->start.store(Utils::monotonic_ns());
}

bool watcher_pause(Watcher* watcher) {
    if (!watcher) return true;
    if (watcher->expired.load()) return false;
    watcher->active.exchange(0);
    return true;
}

void watcher_resume(Watcher* watcher, int32_t seconds) {
    if (!watcher) return;
    watcher_restart(watcher);
    watcher_set_timeout(watcher, seconds);
    watcher->active.exchange(1);
}
