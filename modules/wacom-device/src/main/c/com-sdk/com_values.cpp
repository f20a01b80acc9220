#include "com_values.h"

#include <cstring>
#include <memory>

namespace ComPadSdk {

GUID GuidFromText(const char* text) {
    GUID guid{};
    if (FAILED(IIDFromString(Utf16(text).c_str(), &guid))) guid = GUID{};
    return guid;
}

std::wstring Utf16(const std::string& text) {
    if (text.empty()) return {};
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0) return {};
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

std::string Utf8(const wchar_t* text, size_t length) {
    if (!text || length == 0) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    if (size <= 0) return {};
    std::string narrow(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), narrow.data(), size, nullptr, nullptr);
    return narrow;
}

OwnedBstr::OwnedBstr(const char* text) {
    if (!text) return;
    const std::wstring wide = Utf16(text);
    value_ = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    ok_ = value_ != nullptr;
}

::HRESULT ToVariant(const PadSdk::Variant& value, VARIANT* out) {
    using Type = PadSdk::Variant::Type;
    VariantClear(out);
    switch (value.type) {
    case Type::Int:
        out->vt = VT_INT;
        out->intVal = value.number;
        return S_OK;
    case Type::Text: {
        const std::wstring wide = Utf16(value.text);
        BSTR text = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
        if (!text) return E_OUTOFMEMORY;
        out->vt = VT_BSTR;
        out->bstrVal = text;
        return S_OK;
    }
    case Type::Object: {
        IDispatch* dispatch = nullptr;
        if (value.object) {
            const auto* holder = dynamic_cast<const DispatchHolder*>(value.object.get());
            if (!holder) return E_INVALIDARG;
            dispatch = holder->Dispatch();
            if (dispatch) dispatch->AddRef();
        }
        out->vt = VT_DISPATCH;
        out->pdispVal = dispatch;
        return S_OK;
    }
    case Type::Missing:
        out->vt = VT_ERROR;
        out->scode = DISP_E_PARAMNOTFOUND;
        return S_OK;
    case Type::Bytes: {
        SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(value.bytes.size()));
        if (!array) return E_OUTOFMEMORY;
        if (!value.bytes.empty()) {
            void* data = nullptr;
            const ::HRESULT locked = SafeArrayAccessData(array, &data);
            if (FAILED(locked)) {
                SafeArrayDestroy(array);
                return locked;
            }
            std::memcpy(data, value.bytes.data(), value.bytes.size());
            SafeArrayUnaccessData(array);
        }
        out->vt = VT_ARRAY | VT_UI1;
        out->parray = array;
        return S_OK;
    }
    case Type::Empty:
    case Type::Array: break;
    }
    return S_OK;  // VT_EMPTY
}

namespace {

PadSdk::Variant from_array(SAFEARRAY* array) {
    PadSdk::Variant result;
    result.type = PadSdk::Variant::Type::Array;
    VARTYPE element = VT_EMPTY;
    if (!array || SafeArrayGetDim(array) != 1 || FAILED(SafeArrayGetVartype(array, &element)) || element != VT_UI1)
        return result;
    LONG lower = 0, upper = -1;
    if (FAILED(SafeArrayGetLBound(array, 1, &lower)) || FAILED(SafeArrayGetUBound(array, 1, &upper))) return result;
    std::vector<uint8_t> bytes;
    if (upper >= lower) {
        void* data = nullptr;
        if (FAILED(SafeArrayAccessData(array, &data))) return result;
        const auto* first = static_cast<const uint8_t*>(data);
        bytes.assign(first, first + (static_cast<size_t>(upper) - static_cast<size_t>(lower) + 1));
        SafeArrayUnaccessData(array);
    }
    return PadSdk::Variant::Bytes(std::move(bytes));
}

}  // namespace

PadSdk::Variant FromVariant(const VARIANT& value) {
    if (value.vt & VT_ARRAY)
        return from_array((value.vt & VT_BYREF) ? (value.pparray ? *value.pparray : nullptr) : value.parray);
    switch (value.vt) {
    case VT_INT: return PadSdk::Variant::Int(value.intVal);
    case VT_I4: return PadSdk::Variant::Int(value.lVal);
    case VT_I2: return PadSdk::Variant::Int(value.iVal);
    case VT_BSTR: return PadSdk::Variant::Text(Utf8(value.bstrVal, SysStringLen(value.bstrVal)));
    case VT_BSTR | VT_BYREF:
        return value.pbstrVal ? PadSdk::Variant::Text(Utf8(*value.pbstrVal, SysStringLen(*value.pbstrVal)))
                              : PadSdk::Variant{};
    case VT_VARIANT | VT_BYREF:
        // One level only: a VARIANT may not hold a reference to another VT_VARIANT reference.
        return value.pvarVal && value.pvarVal->vt != (VT_VARIANT | VT_BYREF) ? FromVariant(*value.pvarVal)
                                                                             : PadSdk::Variant{};
    case VT_DISPATCH:
        if (!value.pdispVal) return PadSdk::Variant::Object(nullptr);
        return PadSdk::Variant::Object(std::make_shared<DispatchObject>(ComRef<IDispatch>::Borrow(value.pdispVal)));
    default: return {};
    }
}

}  // namespace ComPadSdk
