// Automation objects through COM late binding: created from a ProgID, called through
// IDispatch by method name.
#include "platform.h"
#include "com_owners.h"
#include "text_conversion.h"

#include <string>

namespace platform {

using windows::Bstr;
using windows::ComPtr;
using windows::ExceptionInfo;
using windows::Variant;

struct AutomationObject::Impl {
    ComPtr<IDispatch> dispatch;
};

namespace {

Bstr MakeBstr(const Text& text) {
    return Bstr(windows::Wide(text), static_cast<UINT>(text.size()));
}

// The description a failed Invoke carries: the server's own text when it raised an
// exception with one that is not empty, the system's text for the code otherwise. A server
// that gave only its own 16-bit code (wCode) has that code, which no HRESULT carries, put
// after the system's text, so that the number that identifies the failure is not lost.
[[noreturn]] void RaiseInvokeFailure(HRESULT status, ExceptionInfo& exception) {
    if (status != DISP_E_EXCEPTION) throw Failure(status);
    exception.Complete();
    const HRESULT code = exception.status();
    if (const BSTR description = exception.description(); SysStringLen(description) > 0) {
        Text text = windows::FromWide(description, SysStringLen(description));
        throw Failure(code, [text] { return text; });
    }
    if (const WORD serverCode = exception.serverCode()) {
        throw Failure(code, [code, serverCode] {
            const std::string number = std::to_string(serverCode);
            return SystemMessage(code) + u" (wCode " + Text(number.begin(), number.end()) + u")";
        });
    }
    throw Failure(code);
}

// What the shell object's read returns: a REG_DWORD as VT_I4, a REG_SZ or REG_EXPAND_SZ as
// VT_BSTR, a REG_BINARY or REG_MULTI_SZ as an array (Wine's conformance tests of the object,
// run on Windows, dlls/wshom.ocx/tests/wshom.c); its write returns nothing (VT_EMPTY). Every
// other kind keeps only its type tag.
Value ToValue(const VARIANT& variant) {
    switch (V_VT(&variant)) {
        case VT_EMPTY: return Empty{};
        case VT_I4: return double(V_I4(&variant));
        case VT_BSTR: {
            const BSTR text = V_BSTR(&variant);
            return windows::FromWide(text, SysStringLen(text));
        }
        default: return OtherKind{V_VT(&variant)};
    }
}

}  // namespace

Bstr::Bstr(const wchar_t* text, UINT length) : bstr_(SysAllocStringLen(text, length)) {
    if (!bstr_) throw Failure(E_OUTOFMEMORY);
}

AutomationObject::AutomationObject(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
AutomationObject::AutomationObject(AutomationObject&&) noexcept = default;
AutomationObject& AutomationObject::operator=(AutomationObject&&) noexcept = default;
AutomationObject::~AutomationObject() = default;

AutomationObject AutomationObject::Create(const Text& progId) {
    const std::wstring id(windows::Wide(progId), progId.size());
    CLSID classId;
    if (const HRESULT status = CLSIDFromProgID(id.c_str(), &classId); FAILED(status)) {
        throw Failure(status);
    }
    auto impl = std::make_unique<Impl>();
    if (const HRESULT status = CoCreateInstance(classId, nullptr, CLSCTX_SERVER, IID_IDispatch,
                                                impl->dispatch.put_void());
        FAILED(status)) {
        throw Failure(status);
    }
    return AutomationObject(std::move(impl));
}

Value AutomationObject::Call(const Text& method, const std::vector<Text>& arguments) {
    IDispatch* const dispatch = impl_->dispatch.get();

    Bstr name = MakeBstr(method);
    LPOLESTR names[] = {name.get()};
    DISPID dispatchId = DISPID_UNKNOWN;
    if (const HRESULT status =
            dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &dispatchId);
        FAILED(status)) {
        throw Failure(status);
    }

    // DISPPARAMS takes the arguments last first.
    std::vector<Variant> reversed;
    reversed.reserve(arguments.size());
    for (auto argument = arguments.rbegin(); argument != arguments.rend(); ++argument) {
        reversed.push_back(Variant::Of(MakeBstr(*argument)));
    }
    DISPPARAMS parameters{};
    parameters.rgvarg = reinterpret_cast<VARIANTARG*>(reversed.data());
    parameters.cArgs = static_cast<UINT>(reversed.size());

    Variant result;
    ExceptionInfo exception;
    UINT argumentInError = 0;
    const HRESULT status = dispatch->Invoke(dispatchId, IID_NULL, LOCALE_USER_DEFAULT,
                                            DISPATCH_METHOD, &parameters, result.put(),
                                            exception.put(), &argumentInError);
    if (FAILED(status)) RaiseInvokeFailure(status, exception);
    return ToValue(result.get());
}

}  // namespace platform
