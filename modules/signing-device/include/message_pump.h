// The thread's window messages. A pad implementation that has windows installs its message source
// for the thread while a connection is open; PumpMessages then dispatches that source's events
// (button presses and pen input arrive this way, on the thread that owns the pad objects).
#pragma once

namespace BioSigningDevice {

class IMessageSource {
public:
    virtual ~IMessageSource() = default;
    // Waits for and dispatches the thread's messages for at most timeoutMs; true if any was dispatched.
    virtual bool Pump(int timeoutMs) = 0;
};

// Installs a source for the calling thread for the lifetime of the scope (the previous one returns after).
class MessageSourceScope {
public:
    explicit MessageSourceScope(IMessageSource* source);
    ~MessageSourceScope();
    MessageSourceScope(const MessageSourceScope&) = delete;
    MessageSourceScope& operator=(const MessageSourceScope&) = delete;

private:
    IMessageSource* previous_;
};

// Dispatches the thread's messages for at most 100 ms; true if at least one was dispatched. Without
// a source installed, the thread's own queue is pumped (PumpThreadQueue).
bool PumpMessages();

// The thread's own message queue for at most timeoutMs. On Windows: the thread's window messages,
// waited for with MsgWaitForMultipleObjects and dispatched until a quit message; true if any was
// dispatched. Elsewhere a thread has no queue: the call waits and answers false.
bool PumpThreadQueue(int timeoutMs);

}  // namespace BioSigningDevice
