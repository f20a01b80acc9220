#include "message_pump.h"

#include <windows.h>

namespace BioSigningDevice {

bool PumpThreadQueue(int timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs > 0 ? timeoutMs : 0);
    bool dispatched = false;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) break;
        const DWORD waited =
            MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now), QS_ALLINPUT);
        if (waited == WAIT_TIMEOUT || waited == WAIT_FAILED) break;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE)) {
            const BOOL got = GetMessageW(&message, nullptr, 0, 0);
            if (got == 0) break;  // a quit message
            if (got == -1) continue;
            TranslateMessage(&message);
            DispatchMessageW(&message);
            dispatched = true;
        }
    }
    return dispatched;
}

}  // namespace BioSigningDevice
