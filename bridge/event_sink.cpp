#include "bridge/event_sink.h"

#include "bridge/commands.h"
#include "base/exception_report.h"

#include <string>

namespace {

// Argument `index` as text. Missing arguments, null strings and values that
// are not strings read as empty; nothing past cArgs is ever read.
std::wstring argumentText(const DISPPARAMS& parameters, UINT index) {
    if (!parameters.rgvarg || index >= parameters.cArgs) {
        return {};
    }
    const VARIANT& argument = parameters.rgvarg[index];
    if (argument.vt != VT_BSTR || !argument.bstrVal) {
        return {};
    }
    return argument.bstrVal;
}

} // namespace

HRESULT STDMETHODCALLTYPE FlashEventListener::QueryInterface(REFIID iid, void** object) noexcept {
    if (!object) {
        return E_POINTER;
    }
    if (IsEqualIID(iid, DIID_IShockwaveFlashEvents)) {
        *object = this;
        ++refCount_;
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE FlashEventListener::AddRef() noexcept {
    return static_cast<ULONG>(++refCount_);
}

ULONG STDMETHODCALLTYPE FlashEventListener::Release() noexcept {
    return static_cast<ULONG>(--refCount_);
}

HRESULT STDMETHODCALLTYPE FlashEventListener::GetTypeInfoCount(UINT*) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE FlashEventListener::GetTypeInfo(UINT, LCID, ITypeInfo**) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE FlashEventListener::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE FlashEventListener::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* parameters,
                                                     VARIANT*, EXCEPINFO*, UINT*) {
    try {
        if (!parameters) {
            return S_OK;
        }
        if (id == dispidFlashCall) {
            dispatchFlashCall(control_, argumentText(*parameters, 0));
        } else if (id == dispidFSCommand) {
            dispatchFsCommand(argumentText(*parameters, 1), argumentText(*parameters, 0));
        }
    } catch (...) {
        // A failing reply or string failure ends the command without a reply;
        // nothing may cross into the control.
        reportCaughtException(L"Invoke");
    }
    return S_OK;
}
