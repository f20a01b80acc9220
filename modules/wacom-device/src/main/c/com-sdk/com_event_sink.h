// The wizard control's event sink: a COM dispatch object for _IWizCtlEvents that hands every call
// to the family's event receiver, with the arguments in the order they were declared.
#pragma once

#include "pad_sdk.h"

#include <oaidl.h>

#include <atomic>
#include <memory>

namespace ComPadSdk {

// {28086C7E-1500-48E1-A02C-4046EB99A9F9}
extern const IID DIID_WIZCTL_EVENTS;

class EventSink final : public IDispatch {
public:
    // A new sink with one reference, the caller's.
    static EventSink* Create(std::shared_ptr<PadSdk::IWizCtlEvents> receiver);

    // IUnknown, IDispatch, and _IWizCtlEvents answer with this object; E_NOINTERFACE otherwise.
    ::HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    // No type information: E_NOTIMPL.
    ::HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    ::HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override;
    ::HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override;
    // The receiver's answer; named arguments are not supported (DISP_E_NONAMEDARGS).
    ::HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* parameters, VARIANT* result,
                                       EXCEPINFO*, UINT*) override;

private:
    explicit EventSink(std::shared_ptr<PadSdk::IWizCtlEvents> receiver) : receiver_(std::move(receiver)) {}
    ~EventSink() = default;

    std::atomic<ULONG> references_{1};
    std::shared_ptr<PadSdk::IWizCtlEvents> receiver_;
};

}  // namespace ComPadSdk
