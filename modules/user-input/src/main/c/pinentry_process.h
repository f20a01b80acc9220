// One pinentry process: started with its standard input and output on a socket pair, spoken to
// line by line, and always terminated and reaped by the thread that started it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>

#include "secret.h"

using Deadline = std::chrono::steady_clock::time_point;
constexpr Deadline kNoDeadline = Deadline::max();

class PinentryProcess {
public:
    enum class Wait { Done, Woken, TimedOut, Closed, Failed };

    // wakeFd: a descriptor that becomes readable when every wait must end at once (never read here).
    explicit PinentryProcess(int wakeFd);
    ~PinentryProcess();
    PinentryProcess(const PinentryProcess&) = delete;
    PinentryProcess& operator=(const PinentryProcess&) = delete;

    // Starts program; on failure returns false with the reason in error.
    bool start(const std::string& program, std::string& error);
    pid_t pid() const { return pid_; }

    // Sends line and its LF.
    Wait send_line(std::string_view line, Deadline deadline);
    // Reads the next line into line (LF and a CR before it removed).
    Wait read_line(Utils::SecretBytes& line, Deadline deadline);

    // Ends the process: a short grace to exit by itself when graceful (after BYE), then SIGTERM,
    // then SIGKILL if it is still there after half a second; reaps it in every case.
    void stop(bool graceful);

private:
    Wait wait_for(short events, Deadline deadline);
    bool reaped_within(std::chrono::milliseconds grace);

    int wakeFd_;
    int socket_ = -1;
    pid_t pid_ = -1;
    Utils::SecretBytes pending_;  // received bytes not yet returned as a line
};
