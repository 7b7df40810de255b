// A stand-in for the "Wscript.Shell" automation object, for the end-to-end tests only: an
// in-process server whose RegWrite and RegRead fail the way the object does on Windows, which
// Wine's own object never does (Wine's returns bare error codes). A test registers it in its
// private prefix under the ProgID "Wscript.Shell" (and, for a 32-bit build, in the 32-bit class
// view) and picks its behaviour by the value "Behaviour" of the key
// HKCU\Software\TorvaNetWorkTests\ShellStandIn. Every call is recorded in the value "Calls" of
// that key ("RegWrite(a,b,c);"), so that a test can tell that this object, and not the real
// one, served the tool.
//
// What Windows does, from public sources:
// - Failures come back from IDispatch::Invoke as DISP_E_EXCEPTION with the description in
//   EXCEPINFO and the failure's code in scode (EXCEPINFO, Microsoft's automation reference).
//   A server may also leave the fields empty and hand out pfnDeferredFillIn instead, which the
//   caller runs to have them filled; or give a 16-bit wCode in place of scode.
// - A refused registry write reads `Invalid root in registry key "<name as given>".`, whatever
//   the cause, access denied (0x80070005) included; e.g. the error quoted in
//   github.com/DeploymentResearch/DRFiles issue #24 ("WshShell.RegDelete: Invalid root in
//   registry key "HKEY_LOCAL_MACHINE\NewOS\...".").
// - A value that cannot be read reads `Unable to open registry key "<name as given>" for
//   reading.` (quoted in the Dyalog APL Cookbook, chapter "The Windows Registry", whose
//   WinRegSimple class works through this object), with code 0x80070002 for a missing value
//   (Wine's conformance tests of the object, run on Windows: dlls/wshom.ocx/tests/wshom.c,
//   test_registry, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)).
// - RegRead returns a REG_DWORD as VT_I4 and a REG_SZ as VT_BSTR (the same tests).
//
// Behaviours ("Behaviour" value):
//   write-refused           RegWrite raises the refusal: scode 0x80070005 and Windows' text
//   write-refused-deferred  the same, given only through pfnDeferredFillIn
//   write-code-only         RegWrite raises scode 0x80070005 with no text
//   write-empty-description RegWrite raises scode 0x80070005 with an empty text
//   write-wcode-only        RegWrite raises wCode 1005 with no text and no scode
//   read-fails              RegWrite succeeds; RegRead raises 0x80070002 with Windows' text
//   read-text-1             RegWrite succeeds; RegRead returns the text "1"
//   read-number-2           RegWrite succeeds; RegRead returns the number 2
//   confirms                RegWrite succeeds; RegRead returns the number 1
// Neither method touches the value it is asked about.
#include <windows.h>
#include <oleauto.h>

#include <string>

namespace {

// {5FB2FE45-6A58-43A5-ADCC-F9574903AB18}
const CLSID kClassId = {0x5fb2fe45, 0x6a58, 0x43a5,
                        {0xad, 0xcc, 0xf9, 0x57, 0x49, 0x03, 0xab, 0x18}};
const wchar_t kSettingsKey[] = L"Software\\TorvaNetWorkTests\\ShellStandIn";
constexpr DISPID kRegWrite = 1, kRegRead = 2;
constexpr HRESULT kAccessDenied = HRESULT(0x80070005);
constexpr HRESULT kFileNotFound = HRESULT(0x80070002);

// The test's settings key, in the 64-bit view whatever this DLL's bitness, where the test's
// own (64-bit) reg.exe writes it.
class SettingsKey {
public:
    SettingsKey() {
        RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0,
                        KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key_,
                        nullptr);
    }
    ~SettingsKey() {
        if (key_) RegCloseKey(key_);
    }
    SettingsKey(const SettingsKey&) = delete;
    SettingsKey& operator=(const SettingsKey&) = delete;

    std::wstring Read(const wchar_t* name) const {
        wchar_t data[2048] = {};
        DWORD size = sizeof data - sizeof(wchar_t), type = 0;
        if (!key_ || RegQueryValueExW(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(data),
                                      &size) != ERROR_SUCCESS || type != REG_SZ) {
            return {};
        }
        return data;
    }
    void Write(const wchar_t* name, const std::wstring& text) const {
        if (key_) {
            RegSetValueExW(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                           DWORD((text.size() + 1) * sizeof(wchar_t)));
        }
    }

private:
    HKEY key_ = nullptr;
};

// What the deferred fill-in hands out: set just before the failing call returns.
HRESULT deferredCode = S_OK;
std::wstring deferredSource, deferredDescription;

HRESULT STDAPICALLTYPE FillIn(EXCEPINFO* info) {
    info->scode = deferredCode;
    info->bstrSource = SysAllocString(deferredSource.c_str());
    info->bstrDescription = SysAllocString(deferredDescription.c_str());
    return S_OK;
}

// Raises an automation exception: code, source and description as given, or, when `deferred`,
// nothing but the fill-in that gives them. An empty description gives none.
HRESULT Raise(EXCEPINFO* info, HRESULT code, const std::wstring& source,
              const std::wstring& description, bool deferred = false) {
    if (!info) return code;
    *info = EXCEPINFO{};
    if (deferred) {
        deferredCode = code;
        deferredSource = source;
        deferredDescription = description;
        info->pfnDeferredFillIn = FillIn;
    } else {
        info->scode = code;
        info->bstrSource = SysAllocString(source.c_str());
        if (!description.empty()) info->bstrDescription = SysAllocString(description.c_str());
    }
    return DISP_E_EXCEPTION;
}

class ShellStandIn final : public IDispatch {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch)) {
            *object = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references_); }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = InterlockedDecrement(&references_);
        if (left == 0) delete this;
        return left;
    }

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override {
        return DISP_E_BADINDEX;
    }

    // Names are matched without regard to case, as the real object's type library does.
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                            DISPID* ids) override {
        HRESULT status = S_OK;
        for (UINT i = 0; i < count; ++i) {
            if (lstrcmpiW(names[i], L"RegWrite") == 0 && i == 0) {
                ids[i] = kRegWrite;
            } else if (lstrcmpiW(names[i], L"RegRead") == 0 && i == 0) {
                ids[i] = kRegRead;
            } else {
                ids[i] = DISPID_UNKNOWN;
                status = DISP_E_UNKNOWNNAME;
            }
        }
        return status;
    }

    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags,
                                     DISPPARAMS* parameters, VARIANT* result,
                                     EXCEPINFO* exception, UINT*) override {
        if (id != kRegWrite && id != kRegRead) return DISP_E_MEMBERNOTFOUND;
        if (!(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
        const UINT expected = id == kRegWrite ? 3 : 1;
        if (!parameters || parameters->cArgs != expected || parameters->cNamedArgs != 0) {
            return DISP_E_BADPARAMCOUNT;
        }
        std::wstring arguments;
        for (UINT i = parameters->cArgs; i-- > 0;) {  // they come last first
            const VARIANT& argument = parameters->rgvarg[i];
            if (V_VT(&argument) != VT_BSTR) return DISP_E_TYPEMISMATCH;
            if (!arguments.empty()) arguments += L",";
            arguments.append(V_BSTR(&argument), SysStringLen(V_BSTR(&argument)));
        }
        const VARIANT& nameArgument = parameters->rgvarg[parameters->cArgs - 1];
        const std::wstring name(V_BSTR(&nameArgument), SysStringLen(V_BSTR(&nameArgument)));

        const SettingsKey settings;
        const std::wstring method = id == kRegWrite ? L"RegWrite" : L"RegRead";
        settings.Write(L"Calls",
                       settings.Read(L"Calls") + method + L"(" + arguments + L");");
        const std::wstring behaviour = settings.Read(L"Behaviour");
        const std::wstring source = L"WshShell." + method;
        if (result) VariantInit(result);

        if (id == kRegWrite) {
            const std::wstring refused = L"Invalid root in registry key \"" + name + L"\".";
            if (behaviour == L"write-refused") {
                return Raise(exception, kAccessDenied, source, refused);
            }
            if (behaviour == L"write-refused-deferred") {
                return Raise(exception, kAccessDenied, source, refused, true);
            }
            if (behaviour == L"write-code-only") {
                return Raise(exception, kAccessDenied, source, L"");
            }
            if (behaviour == L"write-empty-description") {
                const HRESULT status = Raise(exception, kAccessDenied, source, L"");
                if (exception) exception->bstrDescription = SysAllocString(L"");
                return status;
            }
            if (behaviour == L"write-wcode-only") {
                if (!exception) return DISP_E_EXCEPTION;
                *exception = EXCEPINFO{};
                exception->wCode = 1005;
                return DISP_E_EXCEPTION;
            }
            if (behaviour == L"read-fails" || behaviour == L"read-text-1" ||
                behaviour == L"read-number-2" || behaviour == L"confirms") {
                return S_OK;
            }
        } else {
            if (behaviour == L"read-fails") {
                return Raise(exception, kFileNotFound, source,
                             L"Unable to open registry key \"" + name + L"\" for reading.");
            }
            if (behaviour == L"read-text-1" && result) {
                V_VT(result) = VT_BSTR;
                V_BSTR(result) = SysAllocString(L"1");
                return S_OK;
            }
            if ((behaviour == L"read-number-2" || behaviour == L"confirms") && result) {
                V_VT(result) = VT_I4;
                V_I4(result) = behaviour == L"confirms" ? 1 : 2;
                return S_OK;
            }
        }
        return Raise(exception, E_INVALIDARG, source,
                     L"shell stand-in: no behaviour \"" + behaviour + L"\" for " + method);
    }

private:
    volatile LONG references_ = 1;
};

class Factory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
            *object = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }  // lives as long as the DLL
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid,
                                             void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        ShellStandIn* shell = new ShellStandIn();
        const HRESULT status = shell->QueryInterface(iid, object);
        shell->Release();
        return status;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

Factory factory;

}  // namespace

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID classId,
                                                                          REFIID iid,
                                                                          void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!IsEqualCLSID(classId, kClassId)) return CLASS_E_CLASSNOTAVAILABLE;
    return factory.QueryInterface(iid, object);
}

// Stays loaded for the life of the process: nothing here is worth the bookkeeping.
extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllCanUnloadNow() { return S_FALSE; }
