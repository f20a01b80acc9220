// The pad window's process as the module sees it: started with one end of a socket pair as its
// descriptor 3, spoken to in the messages of pad_window_protocol.h, ended and reaped by its owner
// on every path. It is killed when the thread that started it ends, so it never outlives the host.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "pad_window_protocol.h"

namespace OnScreenPad {

class PadWindowProcess {
public:
    PadWindowProcess() = default;
    ~PadWindowProcess() { Stop(); }
    PadWindowProcess(const PadWindowProcess&) = delete;
    PadWindowProcess& operator=(const PadWindowProcess&) = delete;

    // Starts program with args, without waiting for it; false when it could not be started. Its
    // Ready comes among the messages that Receive returns.
    bool Launch(const std::string& program, const std::vector<std::string>& args);
    // Starts program without arguments and waits (at most 10 s) for its Ready; false, with the
    // process reaped, when it could not start or could not open the display.
    bool Start(const std::string& program, uint16_t* width, uint16_t* height);
    bool Running() const { return socket_ >= 0; }
    // The socket while running (readable when messages or the end arrive); -1 otherwise.
    int Descriptor() const { return socket_; }

    // false when the process is gone or did not take the message within 5 s (it is then stopped).
    bool Send(const std::vector<uint8_t>& message);
    // Appends the messages that have arrived, without waiting. false when the process has ended or
    // broke the framing (it is then stopped); the messages that came before it still come back.
    bool Receive(std::vector<Message>* messages);

    // Closes the socket, which ends the process; kills it if it has not exited after a short grace.
    void Stop();

private:
    int socket_ = -1;
    pid_t pid_ = -1;
    std::vector<uint8_t> pending_;  // received bytes not yet a whole message
};

// The window program installed beside the module that holds this code.
std::string WindowProgramPath();

}  // namespace OnScreenPad
