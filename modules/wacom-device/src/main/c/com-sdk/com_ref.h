// COM references and calls by vtable slot. The pad SDK's objects are automation objects known here
// only by their interface identifiers and the slots of the operations used, so an operation is
// called through its slot (counted from the first IUnknown slot) with the stdcall convention of COM.
#pragma once

#include <objbase.h>

#include <utility>

namespace ComPadSdk {

// One counted reference to a COM interface; released on destruction.
template <typename T = IUnknown>
class ComRef {
public:
    ComRef() = default;
    // Takes over a reference the caller already holds (an out parameter's).
    explicit ComRef(T* owned) : p_(owned) {}
    // A reference of its own to an interface the caller only borrows.
    static ComRef Borrow(T* borrowed) {
        if (borrowed) borrowed->AddRef();
        return ComRef(borrowed);
    }
    ComRef(const ComRef& other) : p_(other.p_) {
        if (p_) p_->AddRef();
    }
    ComRef(ComRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ComRef& operator=(ComRef other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~ComRef() { reset(); }

    void reset() noexcept {
        if (T* p = std::exchange(p_, nullptr)) p->Release();
    }
    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // For an out parameter: the old reference is released first.
    T** put() noexcept {
        reset();
        return &p_;
    }
    // A new reference for a caller that keeps it.
    T* share() const noexcept {
        if (p_) p_->AddRef();
        return p_;
    }

    // QueryInterface for iid; the failure code when the object does not have it.
    template <typename U = IUnknown>
    ::HRESULT query(REFIID iid, ComRef<U>* out) const {
        if (!p_) return E_POINTER;
        return p_->QueryInterface(iid, reinterpret_cast<void**>(out->put()));
    }

private:
    T* p_ = nullptr;
};

// Calls the operation in the given vtable slot of object with the arguments as they are.
template <typename... Args>
::HRESULT CallSlot(IUnknown* object, int slot, Args... args) {
    if (!object) return E_POINTER;
    using Operation = ::HRESULT(__stdcall*)(IUnknown*, Args...);
    void** vtable = *reinterpret_cast<void***>(object);
    return reinterpret_cast<Operation>(vtable[slot])(object, args...);
}

}  // namespace ComPadSdk
