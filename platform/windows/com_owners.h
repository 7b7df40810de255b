// One small owner per COM resource, so that every path out of a procedure, failures included,
// releases what it acquired and no procedure releases anything by hand.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <utility>

namespace platform::windows {

// The thread's COM apartment (single-threaded), from construction to destruction.
class ComApartment {
public:
    ComApartment() : status_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComApartment() {
        if (SUCCEEDED(status_)) CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

    HRESULT status() const { return status_; }

private:
    HRESULT status_;
};

// An interface pointer, released once.
template <typename Interface>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(ComPtr&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        ComPtr(std::move(other)).swap(*this);
        return *this;
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ~ComPtr() {
        if (pointer_) pointer_->Release();
    }

    Interface* get() const { return pointer_; }
    Interface* operator->() const { return pointer_; }
    explicit operator bool() const { return pointer_ != nullptr; }

    // For out-parameters: releases what is held and hands out the slot.
    void** put_void() {
        ComPtr().swap(*this);
        return reinterpret_cast<void**>(&pointer_);
    }

    void swap(ComPtr& other) noexcept { std::swap(pointer_, other.pointer_); }

private:
    Interface* pointer_ = nullptr;
};

// A BSTR, freed once.
class Bstr {
public:
    Bstr() = default;
    // Raises Failure(E_OUTOFMEMORY) when the string cannot be allocated.
    Bstr(const wchar_t* text, UINT length);
    Bstr(Bstr&& other) noexcept : bstr_(std::exchange(other.bstr_, nullptr)) {}
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    Bstr& operator=(Bstr&&) = delete;
    ~Bstr() { SysFreeString(bstr_); }

    BSTR get() const { return bstr_; }
    // Hands the string over to a new owner (a VARIANT); this one is left empty.
    BSTR release() { return std::exchange(bstr_, nullptr); }
    // Takes over a BSTR that a call handed out.
    static Bstr Adopt(BSTR bstr) {
        Bstr owner;
        owner.bstr_ = bstr;
        return owner;
    }

private:
    BSTR bstr_ = nullptr;
};

// A VARIANT, cleared once. Same layout as VARIANT, so an array of them is a VARIANTARG array.
class Variant {
public:
    Variant() { VariantInit(&variant_); }
    Variant(Variant&& other) noexcept : variant_(other.variant_) { VariantInit(&other.variant_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    Variant& operator=(Variant&&) = delete;
    ~Variant() { VariantClear(&variant_); }

    // A VT_BSTR variant that owns `text`.
    static Variant Of(Bstr text) {
        Variant variant;
        V_VT(&variant.variant_) = VT_BSTR;
        V_BSTR(&variant.variant_) = text.release();
        return variant;
    }

    const VARIANT& get() const { return variant_; }
    // For out-parameters: the variant must be empty.
    VARIANT* put() { return &variant_; }

private:
    VARIANT variant_;
};
static_assert(sizeof(Variant) == sizeof(VARIANT), "Variant arrays are passed as VARIANTARG arrays");

// An EXCEPINFO filled by IDispatch::Invoke, with its three strings freed once.
class ExceptionInfo {
public:
    ExceptionInfo() = default;
    ExceptionInfo(const ExceptionInfo&) = delete;
    ExceptionInfo& operator=(const ExceptionInfo&) = delete;
    ~ExceptionInfo() {
        SysFreeString(info_.bstrSource);
        SysFreeString(info_.bstrDescription);
        SysFreeString(info_.bstrHelpFile);
    }

    EXCEPINFO* put() { return &info_; }
    // Runs the deferred fill-in, if the server left one.
    void Complete() {
        if (info_.pfnDeferredFillIn) {
            auto fillIn = std::exchange(info_.pfnDeferredFillIn, nullptr);
            fillIn(&info_);
        }
    }
    // The failure's code; servers that only set the 16-bit wCode are reported as
    // DISP_E_EXCEPTION.
    HRESULT status() const { return FAILED(info_.scode) ? info_.scode : DISP_E_EXCEPTION; }
    // The server's own code, where it gave one instead of an HRESULT; 0 otherwise.
    WORD serverCode() const { return FAILED(info_.scode) ? 0 : info_.wCode; }
    BSTR description() const { return info_.bstrDescription; }

private:
    EXCEPINFO info_{};
};

}  // namespace platform::windows
