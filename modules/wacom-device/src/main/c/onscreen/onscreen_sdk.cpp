// The on-screen pad module's entry point: the SDK objects, and the thread's GLib main context as
// the source of its window messages.
#include <gtk/gtk.h>

#include "onscreen_objects.h"
#include "onscreen_wizctl.h"
#include "pad_sdk.h"

namespace OnScreenPad {
namespace {

using namespace BioSigningDevice;

// Dispatches the default main context, which the thread running the pad owns.
class MainContextSource : public IMessageSource {
public:
    bool Pump(int timeoutMs) override {
        GMainContext* context = g_main_context_default();
        const gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(timeoutMs) * 1000;
        bool dispatched = false;
        for (;;) {
            while (g_main_context_pending(context)) {
                g_main_context_iteration(context, FALSE);
                dispatched = true;
            }
            const gint64 remaining = deadline - g_get_monotonic_time();
            if (remaining <= 0) break;
            // Sleep until something arrives or the slice ends, whichever is first.
            bool sliceOver = false;
            GSource* timer = g_timeout_source_new(static_cast<guint>((remaining + 999) / 1000));
            g_source_set_callback(
                timer, [](gpointer over) -> gboolean { *static_cast<bool*>(over) = true; return G_SOURCE_REMOVE; },
                &sliceOver, nullptr);
            g_source_attach(timer, context);
            g_main_context_iteration(context, TRUE);
            g_source_destroy(timer);
            g_source_unref(timer);
            if (sliceOver) break;
            dispatched = true;
        }
        return dispatched;
    }
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
        *control = std::make_shared<WizCtl>();
        return S_OK;
    }
    HRESULT CreateHash(std::shared_ptr<PadSdk::IHash>* hash) override {
        if (!hash) return E_POINTER;
        *hash = std::make_shared<Hash>();
        return S_OK;
    }
    IMessageSource* MessageSource() override { return &messages_; }

private:
    MainContextSource messages_;
};

}  // namespace
}  // namespace OnScreenPad

extern "C" __attribute__((visibility("default"))) PadSdk::ISdk* veldra_onscreen_pad_sdk() {
    return new OnScreenPad::Sdk();
}
