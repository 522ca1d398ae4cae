// The control's IDispatch members: the calls a host makes by name.
#include "control.h"

#include "log.h"

namespace {

enum : DISPID {
    dispFlashVersion = 1,
    dispMovie,
    dispMenu,
    dispDisableLocalSecurity,
    dispCallFunction,
    dispSetReturnValue,
};

struct Member {
    const wchar_t* name;
    DISPID id;
};

constexpr Member members[] = {
    {L"FlashVersion", dispFlashVersion},
    {L"Movie", dispMovie},
    {L"Menu", dispMenu},
    {L"DisableLocalSecurity", dispDisableLocalSecurity},
    {L"CallFunction", dispCallFunction},
    {L"SetReturnValue", dispSetReturnValue},
};

// Reads the one argument of a call as text.
HRESULT textArgument(const DISPPARAMS* params, std::wstring& text, UINT* argumentError) {
    if (!params || params->cArgs != 1 || !params->rgvarg) {
        return DISP_E_BADPARAMCOUNT;
    }
    VARIANT& argument = params->rgvarg[0];
    if (V_VT(&argument) == VT_BSTR) {
        text.assign(V_BSTR(&argument) ? V_BSTR(&argument) : L"", SysStringLen(V_BSTR(&argument)));
        return S_OK;
    }
    UniqueVariant converted;
    if (FAILED(VariantChangeType(converted.get(), &argument, 0, VT_BSTR))) {
        if (argumentError) {
            *argumentError = 0;
        }
        return DISP_E_TYPEMISMATCH;
    }
    text.assign(V_BSTR(converted.get()) ? V_BSTR(converted.get()) : L"",
                SysStringLen(V_BSTR(converted.get())));
    return S_OK;
}

HRESULT boolArgument(const DISPPARAMS* params, bool& value, UINT* argumentError) {
    if (!params || params->cArgs != 1 || !params->rgvarg) {
        return DISP_E_BADPARAMCOUNT;
    }
    VARIANT converted;
    VariantInit(&converted);
    if (FAILED(VariantChangeType(&converted, &params->rgvarg[0], 0, VT_BOOL))) {
        if (argumentError) {
            *argumentError = 0;
        }
        return DISP_E_TYPEMISMATCH;
    }
    value = V_BOOL(&converted) != VARIANT_FALSE;
    return S_OK;
}

bool noArguments(const DISPPARAMS* params) {
    return !params || params->cArgs == 0;
}

const GUID libidStandIn = {0xD27CDB6B, 0xAE6D, 0x11CF, {0x96, 0xB8, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

// The control's type information from its type library, found by the
// library's GUID and version: through the registry, or through an
// activation context that names the file. A control built on the common COM
// class libraries looks it up like this when it is first asked for a name;
// the stand-in looks it up at every call, so that a context missing at any
// point of the run shows.
HRESULT typeInfo(ComPtr<ITypeInfo>& info) {
    ComPtr<ITypeLib> library;
    HRESULT result = LoadRegTypeLib(libidStandIn, 1, 0, LOCALE_NEUTRAL, library.put());
    if (SUCCEEDED(result)) {
        result = library->GetTypeInfoOfGuid(iidShockwaveFlash, info.put());
    }
    if (FAILED(result)) {
        logLine(L"no type library " + hex32(static_cast<unsigned long>(result)));
    }
    return result;
}

} // namespace

STDMETHODIMP Control::GetTypeInfoCount(UINT* count) {
    if (!count) {
        return E_POINTER;
    }
    *count = settings.namesFromTypeLibrary ? 1 : 0;
    return S_OK;
}

STDMETHODIMP Control::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
    try {
        if (!info) {
            return E_POINTER;
        }
        *info = nullptr;
        if (!settings.namesFromTypeLibrary || index != 0) {
            return DISP_E_BADINDEX;
        }
        ComPtr<ITypeInfo> found;
        const HRESULT result = typeInfo(found);
        *info = found.detach();
        return result;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

STDMETHODIMP Control::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    try {
        if (!names || !ids) {
            return E_POINTER;
        }
        if (settings.namesFromTypeLibrary) {
            ComPtr<ITypeInfo> info;
            const HRESULT found = typeInfo(info);
            return FAILED(found) ? found : info->GetIDsOfNames(names, count, ids);
        }
        HRESULT result = S_OK;
        for (UINT i = 0; i < count; ++i) {
            ids[i] = DISPID_UNKNOWN;
            // Later names would be parameter names: none are known.
            for (const Member& member : members) {
                if (i == 0 && names[i] && lstrcmpiW(names[i], member.name) == 0) {
                    ids[i] = member.id;
                }
            }
            if (ids[i] == DISPID_UNKNOWN) {
                result = DISP_E_UNKNOWNNAME;
            }
        }
        return result;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

STDMETHODIMP Control::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                             EXCEPINFO* exception, UINT* argumentError) {
    try {
        // A call into the movie may release the host's last reference.
        AddRef();
        const ComPtr<Control> self = ComPtr<Control>::attach(this);
        if (embedding.isClosed()) {
            logLine(L"call after close");
        }
        return dispatch(id, flags, params, result, exception, argumentError);
    } catch (...) {
        return E_UNEXPECTED;
    }
}

HRESULT Control::dispatch(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                          UINT* argumentError) {
    bool method = flags & DISPATCH_METHOD;
    bool get = flags & DISPATCH_PROPERTYGET;
    bool put = flags & DISPATCH_PROPERTYPUT;
    std::wstring text;
    bool flag = false;
    HRESULT read = S_OK;
    switch (id) {
    case dispFlashVersion:
        if (!method && !get) {
            return DISP_E_MEMBERNOTFOUND;
        }
        if (!noArguments(params)) {
            return DISP_E_BADPARAMCOUNT;
        }
        logLine(L"get FlashVersion");
        if (settings.fails(L"FlashVersion")) {
            return fail(L"FlashVersion", exception);
        }
        if (result) {
            VariantInit(result);
            V_VT(result) = VT_I4;
            V_I4(result) = static_cast<LONG>(settings.version);
        }
        return S_OK;
    case dispMovie:
        if (!put) {
            return DISP_E_MEMBERNOTFOUND;
        }
        if (FAILED(read = textArgument(params, text, argumentError))) {
            return read;
        }
        logLine(L"put Movie " + text);
        signalMovie(settings);
        if (settings.fails(L"Movie")) {
            return fail(L"Movie", exception);
        }
        embedding.showMovie(text);
        if (!script.load(text)) {
            logLine(L"cannot read " + text);
        }
        startScript();
        return S_OK;
    case dispMenu:
        if (!put) {
            return DISP_E_MEMBERNOTFOUND;
        }
        if (FAILED(read = boolArgument(params, flag, argumentError))) {
            return read;
        }
        logLine(flag ? L"put Menu true" : L"put Menu false");
        return settings.fails(L"Menu") ? fail(L"Menu", exception) : S_OK;
    case dispDisableLocalSecurity:
        if (!method) {
            return DISP_E_MEMBERNOTFOUND;
        }
        if (!noArguments(params)) {
            return DISP_E_BADPARAMCOUNT;
        }
        logLine(L"call DisableLocalSecurity");
        return settings.fails(L"DisableLocalSecurity") ? fail(L"DisableLocalSecurity", exception) : S_OK;
    case dispCallFunction:
        if (!method) {
            return DISP_E_MEMBERNOTFOUND;
        }
        if (FAILED(read = textArgument(params, text, argumentError))) {
            return read;
        }
        logLine(L"call CallFunction " + text);
        if (settings.fails(L"CallFunction")) {
            return fail(L"CallFunction", exception);
        }
        script.onCall(text);
        if (result) {
            VariantInit(result);
            V_VT(result) = VT_BSTR;
            V_BSTR(result) = SysAllocString(L"<null/>");
        }
        return S_OK;
    case dispSetReturnValue:
        if (!method) {
            return DISP_E_MEMBERNOTFOUND;
        }
        if (FAILED(read = textArgument(params, text, argumentError))) {
            return read;
        }
        logLine(L"reply " + abridged(text));
        if (settings.fails(L"SetReturnValue")) {
            return fail(L"SetReturnValue", exception);
        }
        if (!replies.empty()) {
            ++replies.back();
        }
        return S_OK;
    default:
        return DISP_E_MEMBERNOTFOUND;
    }
}

// Fails a call as the real control would: the error object set, and either
// the HRESULT itself or, as a type-library IDispatch does, an exception.
HRESULT Control::fail(const wchar_t* name, EXCEPINFO* exception) {
    logFailure(name, settings.failure);
    std::wstring description = std::wstring(L"stand-in failure: ") + name;
    ComPtr<ICreateErrorInfo> creator;
    if (SUCCEEDED(CreateErrorInfo(creator.put()))) {
        creator->SetGUID(iidShockwaveFlash);
        creator->SetSource(const_cast<LPOLESTR>(L"StandIn"));
        creator->SetDescription(const_cast<LPOLESTR>(description.c_str()));
        ComPtr<IErrorInfo> info;
        if (SUCCEEDED(creator->QueryInterface(IID_IErrorInfo, info.putVoid()))) {
            SetErrorInfo(0, info.get());
        }
    }
    if (!settings.failAsException) {
        return settings.failure;
    }
    if (exception) {
        *exception = EXCEPINFO{};
        exception->scode = settings.failure;
        exception->bstrSource = SysAllocString(L"StandIn");
        exception->bstrDescription = SysAllocString(description.c_str());
    }
    return DISP_E_EXCEPTION;
}
