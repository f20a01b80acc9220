// The values that cross the pad SDK's COM interfaces: identifiers, texts as BSTRs, and the family's
// Variant as a COM VARIANT and back. The framework's headers come before the Windows headers here
// and in every file of this folder: its result-code constants share their names with Windows macros.
#pragma once

#include "pad_sdk.h"

#include <objbase.h>
#include <oleauto.h>

#include <string>

#include "com_ref.h"

namespace ComPadSdk {

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" as a GUID; a malformed text is a programming error
// (every identifier is a constant of this family) and answers the null GUID.
GUID GuidFromText(const char* text);

// UTF-8 to UTF-16 and back (texts reaching here are valid UTF-8: screen texts are widened before).
std::wstring Utf16(const std::string& text);
std::string Utf8(const wchar_t* text, size_t length);

// A BSTR owned by the scope. A null text stays null; a failed allocation leaves ok() false.
class OwnedBstr {
public:
    OwnedBstr() = default;
    explicit OwnedBstr(const char* text);
    ~OwnedBstr() { SysFreeString(value_); }
    OwnedBstr(const OwnedBstr&) = delete;
    OwnedBstr& operator=(const OwnedBstr&) = delete;
    BSTR get() const noexcept { return value_; }
    bool ok() const noexcept { return ok_; }

private:
    BSTR value_ = nullptr;
    bool ok_ = true;
};

// A VARIANT owned by the scope (VariantClear on destruction).
class OwnedVariant {
public:
    OwnedVariant() { VariantInit(&value_); }
    ~OwnedVariant() { VariantClear(&value_); }
    OwnedVariant(const OwnedVariant&) = delete;
    OwnedVariant& operator=(const OwnedVariant&) = delete;
    VARIANT* get() noexcept { return &value_; }
    const VARIANT& operator*() const noexcept { return value_; }

private:
    VARIANT value_;
};

// An object of the SDK that travels as VT_DISPATCH. Every object this family hands out implements it.
class DispatchHolder {
public:
    explicit DispatchHolder(ComRef<IDispatch> dispatch) : dispatch_(std::move(dispatch)) {}
    virtual ~DispatchHolder() = default;
    IDispatch* Dispatch() const noexcept { return dispatch_.get(); }

private:
    ComRef<IDispatch> dispatch_;
};

// An SDK object of no interface this family calls.
class DispatchObject : public PadSdk::IObject, public DispatchHolder {
public:
    using DispatchHolder::DispatchHolder;
};

// Fills out (cleared first) with the value: VT_INT, VT_BSTR, VT_DISPATCH (an added reference),
// VT_ERROR DISP_E_PARAMNOTFOUND, VT_ARRAY | VT_UI1 with lower bound 0, VT_EMPTY. E_OUTOFMEMORY when
// a text or an array cannot be allocated, E_INVALIDARG for an object of no SDK.
::HRESULT ToVariant(const PadSdk::Variant& value, VARIANT* out);

// The family's view of a VARIANT: byte arrays (by value or by reference) as Bytes, arrays of other
// element types or dimensions as Array, VT_INT/VT_I4/VT_I2 as Int, VT_BSTR (also by reference) as Text,
// VT_DISPATCH as an Object of no interface, a VARIANT by reference as what it holds, anything else Empty.
PadSdk::Variant FromVariant(const VARIANT& value);

}  // namespace ComPadSdk
