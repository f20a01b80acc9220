// The on-screen pad module's entry point: the SDK objects, and the pad windows' sockets as the
// source of the thread's window messages.
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "onscreen_objects.h"
#include "onscreen_wizctl.h"
#include "pad_sdk.h"
#include "pad_window_process.h"

namespace OnScreenPad {
namespace {

using namespace BioSigningDevice;
using Clock = std::chrono::steady_clock;

// Waits on the sockets of the wizard controls made by this SDK that are still in use, and lets each
// handle what its window sent.
class WindowSource : public IMessageSource {
public:
    void Add(const std::shared_ptr<WizCtl>& control) {
        std::erase_if(controls_, [](const std::weak_ptr<WizCtl>& c) { return c.expired(); });
        controls_.push_back(control);
    }

    bool Pump(int timeoutMs) override {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        bool dispatched = false;
        for (;;) {
            std::vector<std::shared_ptr<WizCtl>> live;
            std::vector<pollfd> fds;
            for (const std::weak_ptr<WizCtl>& weak : controls_)
                if (auto control = weak.lock(); control && control->Descriptor() >= 0) {
                    live.push_back(control);
                    fds.push_back({control->Descriptor(), POLLIN, 0});
                }
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) break;
            if (fds.empty()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(left));
                break;
            }
            const int n = poll(fds.data(), fds.size(), static_cast<int>(left));
            if (n < 0 && errno != EINTR) break;
            for (size_t i = 0; n > 0 && i < fds.size(); ++i)
                if (fds[i].revents && live[i]->Dispatch()) dispatched = true;
        }
        return dispatched;
    }

private:
    std::vector<std::weak_ptr<WizCtl>> controls_;
};

class Sdk : public PadSdk::ISdk {
public:
    HRESULT CreateSigCtl(std::shared_ptr<PadSdk::ISigCtl>* control) override {
        if (!control) return E_POINTER;
        *control = std::make_shared<SigCtl>();
        return S_OK;
    }
    HRESULT CreateWizCtl(std::shared_ptr<PadSdk::IWizCtl>* control) override {
        if (!control) return E_POINTER;
        auto wizard = std::make_shared<WizCtl>(WindowProgramPath());
        messages_.Add(wizard);
        *control = wizard;
        return S_OK;
    }
    HRESULT CreateHash(std::shared_ptr<PadSdk::IHash>* hash) override {
        if (!hash) return E_POINTER;
        *hash = std::make_shared<Hash>();
        return S_OK;
    }
    IMessageSource* MessageSource() override { return &messages_; }

private:
    WindowSource messages_;
};

}  // namespace
}  // namespace OnScreenPad

extern "C" __attribute__((visibility("default"))) PadSdk::ISdk* veldra_onscreen_pad_sdk() {
    return new OnScreenPad::Sdk();
}

extern "C" __attribute__((visibility("default"))) const char* veldra_onscreen_pad_window_program() {
    static const std::string path = OnScreenPad::WindowProgramPath();
    return path.c_str();
}
