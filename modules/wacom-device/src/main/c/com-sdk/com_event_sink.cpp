#include "com_event_sink.h"

#include <new>
#include <vector>

#include "com_values.h"

namespace ComPadSdk {

const IID DIID_WIZCTL_EVENTS = GuidFromText(PadSdk::IID_WIZCTL_EVENTS);

EventSink* EventSink::Create(std::shared_ptr<PadSdk::IWizCtlEvents> receiver) {
    return new (std::nothrow) EventSink(std::move(receiver));
}

::HRESULT EventSink::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDispatch) && !IsEqualIID(iid, DIID_WIZCTL_EVENTS))
        return E_NOINTERFACE;
    *object = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
}

ULONG EventSink::AddRef() { return ++references_; }

ULONG EventSink::Release() {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
}

::HRESULT EventSink::GetTypeInfoCount(UINT*) { return E_NOTIMPL; }
::HRESULT EventSink::GetTypeInfo(UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }
::HRESULT EventSink::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }

::HRESULT EventSink::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* parameters, VARIANT*, EXCEPINFO*, UINT*) {
    if (!parameters) return E_POINTER;
    if (parameters->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
    if (parameters->cArgs != 0 && !parameters->rgvarg) return E_POINTER;
    try {
        // rgvarg holds the arguments last first.
        std::vector<PadSdk::Variant> arguments;
        arguments.reserve(parameters->cArgs);
        for (UINT i = parameters->cArgs; i > 0; --i) arguments.push_back(FromVariant(parameters->rgvarg[i - 1]));
        return receiver_ ? receiver_->Invoke(id, flags, arguments) : S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;  // nothing may leave through a COM call
    }
}

}  // namespace ComPadSdk
