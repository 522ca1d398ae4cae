#include "bridge/flash_control.h"

#include "base/exception_report.h"

#include <comdef.h>

const CLSID CLSID_ShockwaveFlash = {
    0xD27CDB6E, 0xAE6D, 0x11CF, {0x96, 0xB8, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
const IID IID_IShockwaveFlash = {
    0xD27CDB6C, 0xAE6D, 0x11CF, {0x96, 0xB8, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
const IID DIID_IShockwaveFlashEvents = {
    0xD27CDB6D, 0xAE6D, 0x11CF, {0x96, 0xB8, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

ComPtr<IShockwaveFlash> flashControl;

namespace {

constexpr wchar_t flashVersionName[] = L"FlashVersion";
constexpr wchar_t disableLocalSecurityName[] = L"DisableLocalSecurity";
constexpr wchar_t movieName[] = L"Movie";
constexpr wchar_t menuName[] = L"Menu";
constexpr wchar_t callFunctionName[] = L"CallFunction";
constexpr wchar_t setReturnValueName[] = L"SetReturnValue";

// The error object a failed call left, when the control says it keeps one for
// this interface.
ComPtr<IErrorInfo> takeErrorInfo(IShockwaveFlash* control) noexcept {
    ComPtr<ISupportErrorInfo> support;
    if (FAILED(control->QueryInterface(IID_ISupportErrorInfo, support.putVoid())) ||
        support->InterfaceSupportsErrorInfo(IID_IShockwaveFlash) != S_OK) {
        return {};
    }
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.put()) != S_OK) {
        return {};
    }
    return info;
}

// A type-library dispatch reports a failing method as DISP_E_EXCEPTION and
// moves the error object into the EXCEPINFO; rebuild the object from it.
ComPtr<IErrorInfo> errorInfoFrom(const EXCEPINFO& exception) noexcept {
    ComPtr<ICreateErrorInfo> created;
    if (FAILED(CreateErrorInfo(created.put()))) {
        return {};
    }
    created->SetGUID(IID_IShockwaveFlash);
    created->SetSource(exception.bstrSource);
    created->SetDescription(exception.bstrDescription);
    created->SetHelpFile(exception.bstrHelpFile);
    created->SetHelpContext(exception.dwHelpContext);
    ComPtr<IErrorInfo> info;
    created->QueryInterface(IID_IErrorInfo, info.putVoid());
    return info;
}

// The _com_error takes over the error object's reference.
[[noreturn]] void raiseFailure(IShockwaveFlash* control, HRESULT result, UniqueExceptionInfo& exception) {
    if (result != DISP_E_EXCEPTION) {
        throw _com_error(result, takeErrorInfo(control).detach());
    }
    if (exception->pfnDeferredFillIn) {
        exception->pfnDeferredFillIn(exception.get());
    }
    const HRESULT carried =
        exception->scode ? exception->scode : _com_error::WCodeToHRESULT(exception->wCode);
    throw _com_error(FAILED(carried) ? carried : result, errorInfoFrom(*exception.get()).detach());
}

DISPID bind(IShockwaveFlash* control, const wchar_t* name, HRESULT& result) noexcept {
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    result = control->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    return id;
}

// One call by name, arguments in call order (at most one is used here).
HRESULT invokeRaw(IShockwaveFlash* control, const wchar_t* name, WORD flags, VARIANT* argument,
                  VARIANT* result, EXCEPINFO* exception) noexcept {
    HRESULT bound = S_OK;
    const DISPID id = bind(control, name, bound);
    if (FAILED(bound)) {
        return bound;
    }
    DISPID putId = DISPID_PROPERTYPUT;
    DISPPARAMS parameters = {};
    parameters.rgvarg = argument;
    parameters.cArgs = argument ? 1 : 0;
    if (flags == DISPATCH_PROPERTYPUT) {
        parameters.rgdispidNamedArgs = &putId;
        parameters.cNamedArgs = 1;
    }
    UINT argumentError = 0;
    return control->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &parameters, result, exception,
                           &argumentError);
}

void invokeTyped(IShockwaveFlash* control, const wchar_t* name, WORD flags, VARIANT* argument,
                 UniqueVariant& result) {
    UniqueExceptionInfo exception;
    const HRESULT outcome = invokeRaw(control, name, flags, argument, result.get(), exception.get());
    if (FAILED(outcome)) {
        raiseFailure(control, outcome, exception);
    }
}

void invokeWithText(IShockwaveFlash* control, const wchar_t* name, WORD flags, BSTR text) {
    VARIANT argument;
    argument.vt = VT_BSTR;
    argument.bstrVal = text;
    UniqueVariant result;
    invokeTyped(control, name, flags, &argument, result);
}

} // namespace

HRESULT bindEveryCall(IShockwaveFlash* control) noexcept {
    for (const wchar_t* name : {flashVersionName, disableLocalSecurityName, movieName, menuName,
                                callFunctionName, setReturnValueName}) {
        HRESULT bound = S_OK;
        bind(control, name, bound);
        if (FAILED(bound)) {
            return bound;
        }
    }
    return S_OK;
}

uint32_t flashVersion(IShockwaveFlash* control) {
    UniqueVariant result;
    invokeTyped(control, flashVersionName, DISPATCH_METHOD | DISPATCH_PROPERTYGET, nullptr, result);
    if (FAILED(VariantChangeType(result.get(), result.get(), 0, VT_UI4))) {
        throw _com_error(DISP_E_TYPEMISMATCH);
    }
    return result->ulVal;
}

void disableLocalSecurity(IShockwaveFlash* control) {
    UniqueVariant result;
    invokeTyped(control, disableLocalSecurityName, DISPATCH_METHOD, nullptr, result);
}

void putMovie(IShockwaveFlash* control, const std::wstring& path) {
    invokeWithText(control, movieName, DISPATCH_PROPERTYPUT, textBstr(path).get());
}

void putMenu(IShockwaveFlash* control, bool enabled) {
    VARIANT argument;
    argument.vt = VT_BOOL;
    argument.boolVal = enabled ? VARIANT_TRUE : VARIANT_FALSE;
    UniqueVariant result;
    invokeTyped(control, menuName, DISPATCH_PROPERTYPUT, &argument, result);
}

void returnToMovie(IShockwaveFlash* control, const std::wstring& reply) {
    returnToMovie(control, textBstr(reply));
}

void returnToMovie(IShockwaveFlash* control, const UniqueBstr& reply) {
    invokeWithText(control, setReturnValueName, DISPATCH_METHOD, reply.get());
}

// Up to the first NUL, on purpose: that is what the movie has always been
// handed, a file's content with a NUL in it included.
UniqueBstr textBstr(const std::wstring& text) {
    UniqueBstr value(SysAllocStringLen(text.c_str(), static_cast<UINT>(wcslen(text.c_str()))));
    if (!value) {
        throw _com_error(E_OUTOFMEMORY);
    }
    return value;
}

void callMovie(const wchar_t* request) noexcept {
    if (!flashControl) {
        return;
    }
    try {
        UniqueBstr text(SysAllocString(request));
        VARIANT argument;
        argument.vt = VT_BSTR;
        argument.bstrVal = text.get();
        UniqueVariant result;
        UniqueExceptionInfo exception;
        invokeRaw(flashControl.get(), callFunctionName, DISPATCH_METHOD, &argument, result.get(),
                  exception.get());
    } catch (...) {
        // A call into the movie may fail in any way; the host goes on regardless.
        reportCaughtException(L"callMovie");
    }
}
