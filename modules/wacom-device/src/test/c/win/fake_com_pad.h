// A pad SDK made of COM objects laid out as the real SDK's: the signature control, the wizard
// control, the hash object and the signature object, each a vtable of the SDK's slots. Every call is
// recorded as one line of text; a call into a slot the family has no business calling is recorded as
// "<object>.slotN". Button presses reach the installed event sink from a window timer, that is
// through the thread's message queue, as the SDK delivers them.
#pragma once

#include <objbase.h>

#include <cstdint>
#include <string>
#include <vector>

namespace fakepad {

struct Config {
    bool sigCtl = true, wizCtl = true, hash = true;  // classes available
    bool hashInterface = true;                       // the hash object answers its interface
    bool sigObjInterface = true;                     // the signature object answers its interface
    bool connected = true;
    int16_t width = 800, height = 480;
    bool captured = true;
    std::vector<uint8_t> picture = {0x89, 'P', 'N', 'G'};
    std::vector<uint8_t> data = {1, 2, 3};
    // Button identifiers pressed one per timer tick once the screen is shown with a sink ("" presses nothing).
    std::vector<std::string> presses;
    int pressEveryMs = 30;
    std::string logFile;  // when set, every call line is appended there too
};

// The configuration and the calls of this process.
Config& config();
std::vector<std::string>& calls();
std::string joined_calls();

// Reads the configuration from VELDRA_FAKE_PAD: "key=value;..." with the keys sigctl, wizctl, hash,
// hashInterface, sigObjInterface, connected, captured (0 or 1), width, height, pressEveryMs,
// presses (identifiers separated by commas), log (a file).
void configure_from_environment();

// The class object for one of the three classes, as DllGetClassObject answers.
HRESULT get_class_object(REFCLSID clsid, REFIID iid, void** object);

// Registers the available classes in this process (CoRegisterClassObject) for the scope's lifetime.
class Registration {
public:
    Registration();
    ~Registration();
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;

private:
    std::vector<DWORD> cookies_;
};

// Objects still alive (every reference the family took must be given back).
long live_objects();

}  // namespace fakepad
