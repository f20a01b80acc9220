// COM result codes, the COM error raised for a failed pad call, and the per-thread apartment guard.
// Linux has no COM: the apartment is a per-thread record with the same rules as CoInitializeEx, so
// callers keep the Windows call pattern and tests can check that every initialisation is balanced.
#pragma once

#include <cstdint>
#include <string>

namespace BioSigningDevice {

using HRESULT = int32_t;

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
constexpr HRESULT RPC_E_CHANGED_MODE = static_cast<HRESULT>(0x80010106);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = static_cast<HRESULT>(0x80020003);
constexpr HRESULT DISP_E_PARAMNOTFOUND = static_cast<HRESULT>(0x80020004);

inline bool Succeeded(HRESULT hr) { return hr >= 0; }

// A failed COM call: its result code and the interface identifier of the call. Deliberately not a
// std::exception: it carries no message text of its own.
class ComError {
public:
    explicit ComError(HRESULT hr, std::string iid = {}) : hr_(hr), iid_(std::move(iid)) {}
    HRESULT Error() const noexcept { return hr_; }
    const std::string& Interface() const noexcept { return iid_; }

private:
    HRESULT hr_;
    std::string iid_;
};

// Throws ComError(hr, iid) when hr is a failure code.
inline void ThrowIfFailed(HRESULT hr, const char* iid) {
    if (!Succeeded(hr)) throw ComError(hr, iid ? iid : "");
}

enum class Apartment { SingleThreaded, MultiThreaded };

// The thread's apartment, as CoInitializeEx / CoUninitialize: the first call answers S_OK, further
// calls of the same kind S_FALSE, a call of the other kind RPC_E_CHANGED_MODE (nothing counted).
HRESULT ComInitialize(Apartment apartment);
void ComUninitialize();
// How many successful initialisations of this thread are not yet undone.
int ComInitDepth();

// Scope guard: single-threaded apartment, or multi-threaded when the thread already is; undone on
// destruction only when the initialisation succeeded.
class ComInit {
public:
    ComInit();
    ~ComInit();
    ComInit(const ComInit&) = delete;
    ComInit& operator=(const ComInit&) = delete;
    HRESULT Result() const noexcept { return result_; }

private:
    HRESULT result_;
};

}  // namespace BioSigningDevice
