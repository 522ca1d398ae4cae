// A stand-in for the Flash player control, for tests only: the same CLSID and
// the calls and events a host uses, with a movie that is a plain-text script.
#include "apartment_watch.h"
#include "control.h"
#include "log.h"

#ifdef STANDIN_IMPORTS_WINMM
#include <mmsystem.h>
#endif

extern "C" IMAGE_DOS_HEADER __ImageBase;

const CLSID clsidStandIn = {0xD27CDB6E, 0xAE6D, 0x11CF, {0x96, 0xB8, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
const IID iidShockwaveFlash = {0xD27CDB6C, 0xAE6D, 0x11CF, {0x96, 0xB8, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
const IID diidFlashEvents = {0xD27CDB6D, 0xAE6D, 0x11CF, {0x96, 0xB8, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

namespace {

constexpr DISPID flashCallEvent = 0xC5;
constexpr DISPID fsCommandEvent = 0x96;

constexpr DWORD eventCookie = 1;
constexpr UINT_PTR scriptTimer = 1;
constexpr UINT tickMilliseconds = 10;
const wchar_t timerClass[] = L"StandInScriptTimer";

LONG liveObjects = 0;
LONG serverLocks = 0;

// A player's own filter that leaves the crash to the system, the host's
// filter included, had it stayed set.
LONG WINAPI letCrashGoOn(EXCEPTION_POINTERS*) {
    return EXCEPTION_CONTINUE_SEARCH;
}

HINSTANCE module() {
    return reinterpret_cast<HINSTANCE>(&__ImageBase);
}

// The file this copy of the stand-in was loaded from, so that a log tells
// which copy served.
std::wstring modulePath() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module(), path, MAX_PATH);
    return path;
}

LRESULT CALLBACK timerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

void registerClasses() {
    WNDCLASSW timer = {};
    timer.lpfnWndProc = timerProc;
    timer.hInstance = module();
    timer.lpszClassName = timerClass;
    RegisterClassW(&timer);
    Embedding::registerWindowClass();
}

// A DLL's classes outlive it unless it removes them; a reload would find
// stale window procedures.
void unregisterClasses() {
    UnregisterClassW(timerClass, module());
    Embedding::unregisterWindowClass();
}

// Reads one argument of an odd event: "null" (a BSTR that is a null
// pointer), "empty", "i4:N", "dispatch" (a null IDispatch) or "text:WORD".
bool oddArgument(const std::wstring& kind, VARIANTARG& value) {
    VariantInit(&value);
    if (kind == L"null") {
        V_VT(&value) = VT_BSTR;
        V_BSTR(&value) = nullptr;
    } else if (kind == L"empty") {
        V_VT(&value) = VT_EMPTY;
    } else if (kind.rfind(L"i4:", 0) == 0) {
        V_VT(&value) = VT_I4;
        V_I4(&value) = _wtoi(kind.c_str() + 3);
    } else if (kind == L"dispatch") {
        V_VT(&value) = VT_DISPATCH;
        V_DISPATCH(&value) = nullptr;
    } else if (kind.rfind(L"text:", 0) == 0) {
        V_VT(&value) = VT_BSTR;
        V_BSTR(&value) = SysAllocString(kind.c_str() + 5);
    } else {
        return false;
    }
    return true;
}

BOOL CALLBACK findHostWindow(HWND window, LPARAM found) {
    try {
        wchar_t className[16] = {};
        GetClassNameW(window, className, ARRAYSIZE(className));
        if (lstrcmpW(className, L"AtlWin") == 0) {
            *reinterpret_cast<HWND*>(found) = window;
            return FALSE;
        }
        return TRUE;
    } catch (...) {
        return FALSE;
    }
}

} // namespace

Control::Control(const Settings& settings)
    : settings(settings), eventPoint(*this), script(*this),
      embedding(*static_cast<IDispatch*>(this), clsidStandIn) {
    if (InterlockedIncrement(&liveObjects) == 1) {
        registerClasses();
    }
}

Control::~Control() {
    if (timerWindow) {
        DestroyWindow(timerWindow);
    }
    logLine(L"release");
    if (InterlockedDecrement(&liveObjects) == 0) {
        unregisterClasses();
    }
}

void Control::startScript() {
    if (!timerWindow) {
        timerWindow =
            CreateWindowExW(0, timerClass, nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, module(), this);
    }
    SetTimer(timerWindow, scriptTimer, tickMilliseconds, nullptr);
}

void Control::stopTicks() {
    KillTimer(timerWindow, scriptTimer);
}

// Raises the event with `values` as its arguments, last first, and clears them.
void Control::raiseEvent(DISPID id, std::vector<VARIANTARG>& values) {
    if (IDispatch* events = eventPoint.events()) {
        // The host may unadvise or release the control from inside the event.
        AddRef();
        const ComPtr<Control> self = ComPtr<Control>::attach(this);
        events->AddRef();
        const ComPtr<IDispatch> sink = ComPtr<IDispatch>::attach(events);
        DISPPARAMS params = {values.empty() ? nullptr : values.data(), nullptr,
                             static_cast<UINT>(values.size()), 0};
        UniqueVariant result;
        UniqueExceptionInfo exception;
        UINT argumentError = 0;
        HRESULT invoked = S_OK;
        {
            EventScope inFlight;
            invoked = sink->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result.get(),
                                   exception.get(), &argumentError);
        }
        // A host's Invoke must not fail an event; the log shows it if it does.
        if (invoked != S_OK) {
            logLine(L"invoke returned " + hex32(static_cast<unsigned long>(invoked)));
        }
    }
    for (VARIANTARG& value : values) {
        VariantClear(&value);
    }
}

void Control::raiseEvent(DISPID id, const std::vector<std::wstring>& arguments) {
    // The arguments go in reverse order: the first one last.
    std::vector<VARIANTARG> values(arguments.size());
    for (size_t i = 0; i < arguments.size(); ++i) {
        VARIANTARG& value = values[arguments.size() - 1 - i];
        VariantInit(&value);
        V_VT(&value) = VT_BSTR;
        V_BSTR(&value) = SysAllocStringLen(arguments[i].data(), static_cast<UINT>(arguments[i].size()));
    }
    raiseEvent(id, values);
}

bool Control::raiseOddEvent(const std::wstring& event, const std::vector<std::wstring>& arguments) {
    const DISPID id = event == L"FlashCall"   ? flashCallEvent
                      : event == L"FSCommand" ? fsCommandEvent
                                              : DISPID_UNKNOWN;
    if (id == DISPID_UNKNOWN) {
        return false;
    }
    std::vector<VARIANTARG> values(arguments.size());
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (!oddArgument(arguments[i], values[arguments.size() - 1 - i])) {
            for (VARIANTARG& value : values) {
                VariantClear(&value);
            }
            return false;
        }
    }
    if (id == flashCallEvent) {
        replies.push_back(0);
    }
    raiseEvent(id, values);
    if (id == flashCallEvent) {
        noteReplies();
    }
    return true;
}

// Closes the reply slot of the FlashCall that just returned.
void Control::noteReplies() {
    const int count = replies.back();
    replies.pop_back();
    if (count == 0) {
        logLine(L"no reply");
    } else if (count > 1) {
        logLine(L"reply set " + std::to_wstring(count) + L" times");
    }
}

void Control::raiseFlashCall(const std::wstring& request) {
    logLine(L"event FlashCall " + abridged(request));
    replies.push_back(0);
    raiseEvent(flashCallEvent, {request});
    noteReplies();
}

void Control::raiseFsCommand(const std::wstring& command, const std::wstring& args) {
    logLine(args.empty() ? L"event FSCommand " + command : L"event FSCommand " + command + L" " + args);
    raiseEvent(fsCommandEvent, {command, args});
}

HWND Control::hostWindow() {
    HWND siteWindow = embedding.siteWindow();
    if (siteWindow && IsWindow(siteWindow)) {
        return siteWindow;
    }
    HWND found = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), findHostWindow, reinterpret_cast<LPARAM>(&found));
    return found;
}

// EventPoint

STDMETHODIMP EventPoint::QueryInterface(REFIID iid, void** object) {
    try {
        if (!object) {
            return E_POINTER;
        }
        if (iid == IID_IUnknown || iid == IID_IConnectionPoint) {
            *object = static_cast<IConnectionPoint*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

// The point lives inside its control and keeps it alive.
STDMETHODIMP_(ULONG) EventPoint::AddRef() {
    return owner.AddRef();
}

STDMETHODIMP_(ULONG) EventPoint::Release() {
    return owner.Release();
}

STDMETHODIMP EventPoint::GetConnectionInterface(IID* iid) {
    if (!iid) {
        return E_POINTER;
    }
    *iid = diidFlashEvents;
    return S_OK;
}

STDMETHODIMP EventPoint::GetConnectionPointContainer(IConnectionPointContainer** container) {
    if (!container) {
        return E_POINTER;
    }
    *container = &owner;
    owner.AddRef();
    return S_OK;
}

STDMETHODIMP EventPoint::Advise(IUnknown* candidate, DWORD* cookie) {
    try {
        if (!candidate || !cookie) {
            return E_POINTER;
        }
        *cookie = 0;
        logLine(L"advise");
        if (owner.config().fails(L"advise")) {
            logFailure(L"advise", CONNECT_E_CANNOTCONNECT);
            return CONNECT_E_CANNOTCONNECT;
        }
        if (sink) {
            return CONNECT_E_ADVISELIMIT;
        }
        // As a player does: the sink is asked for the event interface itself.
        if (FAILED(candidate->QueryInterface(diidFlashEvents, sink.putVoid())) || !sink) {
            sink.detach();
            return CONNECT_E_CANNOTCONNECT;
        }
        *cookie = eventCookie;
        return S_OK;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

STDMETHODIMP EventPoint::Unadvise(DWORD cookie) {
    if (cookie != eventCookie || !sink) {
        return CONNECT_E_NOCONNECTION;
    }
    sink.reset();
    return S_OK;
}

STDMETHODIMP EventPoint::EnumConnections(IEnumConnections** connections) {
    if (connections) {
        *connections = nullptr;
    }
    return E_NOTIMPL;
}

namespace {

LRESULT CALLBACK timerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    try {
        if (message == WM_NCCREATE) {
            auto create = reinterpret_cast<CREATESTRUCTW*>(lParam);
            SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        } else if (message == WM_TIMER && wParam == scriptTimer) {
            auto control = reinterpret_cast<Control*>(GetWindowLongPtrW(window, GWLP_USERDATA));
            if (control) {
                // A step may make the host release the control.
                control->AddRef();
                const ComPtr<Control> held = ComPtr<Control>::attach(control);
                held->tick();
            }
            return 0;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    } catch (...) {
        return 0;
    }
}

class Factory : public IClassFactory {
  public:
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        try {
            if (!object) {
                return E_POINTER;
            }
            if (iid == IID_IUnknown || iid == IID_IClassFactory) {
                *object = static_cast<IClassFactory*>(this);
                return S_OK;
            }
            *object = nullptr;
            return E_NOINTERFACE;
        } catch (...) {
            return E_UNEXPECTED;
        }
    }
    // One static factory: it holds no count of its own.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
        try {
            if (!object) {
                return E_POINTER;
            }
            *object = nullptr;
            if (outer) {
                return CLASS_E_NOAGGREGATION;
            }
            Settings settings = readSettings();
            logLine(L"create " + modulePath());
            if (settings.ownFilter) {
                SetUnhandledExceptionFilter(letCrashGoOn);
            }
#ifdef STANDIN_IMPORTS_WINMM
            // As a player does: winmm.dll as a static import, and a library
            // loaded by name long after the player's own load.
            timeGetTime();
            LoadLibraryW(L"dsound.dll");
#endif
            if (settings.fails(L"create")) {
                logFailure(L"create", CLASS_E_CLASSNOTAVAILABLE);
                return CLASS_E_CLASSNOTAVAILABLE;
            }
            watchApartmentEnd(liveObjects);
            const ComPtr<Control> control = ComPtr<Control>::attach(new Control(settings));
            return control->QueryInterface(iid, object);
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }

    STDMETHODIMP LockServer(BOOL lock) override {
        if (lock) {
            InterlockedIncrement(&serverLocks);
        } else {
            InterlockedDecrement(&serverLocks);
        }
        return S_OK;
    }
};

Factory factory;

} // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
    if (!object) {
        return E_POINTER;
    }
    *object = nullptr;
    if (clsid != clsidStandIn) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return factory.QueryInterface(iid, object);
}

STDAPI DllCanUnloadNow() {
    return liveObjects == 0 && serverLocks == 0 ? S_OK : S_FALSE;
}

// A host that frees the library logs "unload"; at the end of the process
// (`reserved` set) nothing is logged.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void* reserved) {
    try {
        if (reason == DLL_PROCESS_DETACH && !reserved) {
            logLine(L"unload " + modulePath());
        }
    } catch (...) {
        // Nothing may unwind into the loader.
    }
    return TRUE;
}
