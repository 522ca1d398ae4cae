#include "embedding.h"

#include "log.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

const wchar_t playerClass[] = L"StandInPlayer";
const COLORREF darkBlue = RGB(0, 0, 128);
const COLORREF white = RGB(255, 255, 255);
constexpr int textMargin = 8;

HINSTANCE module() {
    return reinterpret_cast<HINSTANCE>(&__ImageBase);
}

void paintPlayer(HWND window, const Embedding& embedding) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    RECT client;
    GetClientRect(window, &client);
    HBRUSH fill = CreateSolidBrush(darkBlue);
    FillRect(dc, &client, fill);
    DeleteObject(fill);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, white);
    std::wstring text = L"Stand-in player\n" + embedding.movie();
    InflateRect(&client, -textMargin, -textMargin);
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &client, DT_LEFT | DT_TOP | DT_WORDBREAK);
    EndPaint(window, &paint);
}

// Input that reaches the control's window, so that tests see what the host's
// message loop let through.
void logInput(UINT message, WPARAM wParam) {
    const wchar_t* name = message == WM_RBUTTONDOWN ? L"WM_RBUTTONDOWN"
                          : message == WM_RBUTTONUP ? L"WM_RBUTTONUP"
                          : message == WM_KEYDOWN   ? L"WM_KEYDOWN"
                                                    : L"WM_KEYUP";
    logLine(std::wstring(L"player window got ") + name + L" " + hex32(static_cast<unsigned long>(wParam)));
}

LRESULT CALLBACK playerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    try {
        auto embedding = reinterpret_cast<const Embedding*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        switch (message) {
        case WM_NCCREATE:
            SetWindowLongPtrW(
                window, GWLP_USERDATA,
                reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
            break;
        case WM_RBUTTONDOWN:
        case WM_RBUTTONUP:
        case WM_KEYDOWN:
        case WM_KEYUP:
            logInput(message, wParam);
            break;
        case WM_ERASEBKGND:
            return 1;
        case WM_PAINT:
            if (embedding) {
                paintPlayer(window, *embedding);
                return 0;
            }
            break;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    } catch (...) {
        return 0;
    }
}

} // namespace

void Embedding::registerWindowClass() {
    WNDCLASSW player = {};
    player.lpfnWndProc = playerProc;
    player.hInstance = module();
    player.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    player.lpszClassName = playerClass;
    RegisterClassW(&player);
}

void Embedding::unregisterWindowClass() {
    UnregisterClassW(playerClass, module());
}

Embedding::~Embedding() {
    deactivate();
}

void Embedding::showMovie(const std::wstring& path) {
    moviePath = path;
    if (playerWindow) {
        InvalidateRect(playerWindow, nullptr, TRUE);
    }
}

STDMETHODIMP Embedding::SetClientSite(IOleClientSite* site) {
    try {
        if (!site) {
            deactivate();
        }
        if (site) {
            site->AddRef();
            closed = false;
        }
        clientSite.reset(site);
        return S_OK;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

STDMETHODIMP Embedding::GetClientSite(IOleClientSite** site) {
    if (!site) {
        return E_POINTER;
    }
    *site = clientSite.get();
    if (clientSite) {
        clientSite->AddRef();
    }
    return S_OK;
}

STDMETHODIMP Embedding::Close(DWORD) {
    try {
        logLine(L"close");
        closed = true;
        deactivate();
        return S_OK;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

STDMETHODIMP Embedding::GetMoniker(DWORD, DWORD, IMoniker** moniker) {
    if (moniker) {
        *moniker = nullptr;
    }
    return E_NOTIMPL;
}

STDMETHODIMP Embedding::GetClipboardData(DWORD, IDataObject** data) {
    if (data) {
        *data = nullptr;
    }
    return E_NOTIMPL;
}

STDMETHODIMP Embedding::DoVerb(LONG verb, LPMSG, IOleClientSite* site, LONG, HWND, LPCRECT) {
    try {
        switch (verb) {
        case OLEIVERB_PRIMARY:
        case OLEIVERB_SHOW:
        case OLEIVERB_INPLACEACTIVATE:
        case OLEIVERB_UIACTIVATE:
            return activate(site ? site : clientSite.get());
        case OLEIVERB_HIDE:
            if (playerWindow) {
                ShowWindow(playerWindow, SW_HIDE);
            }
            return S_OK;
        default:
            return OLEOBJ_S_INVALIDVERB;
        }
    } catch (...) {
        return E_UNEXPECTED;
    }
}

STDMETHODIMP Embedding::EnumVerbs(IEnumOLEVERB** verbs) {
    if (verbs) {
        *verbs = nullptr;
    }
    return OLE_S_USEREG;
}

STDMETHODIMP Embedding::GetUserClassID(CLSID* id) {
    if (!id) {
        return E_POINTER;
    }
    *id = clsid;
    return S_OK;
}

STDMETHODIMP Embedding::GetUserType(DWORD, LPOLESTR* type) {
    if (type) {
        *type = nullptr;
    }
    return OLE_S_USEREG;
}

STDMETHODIMP Embedding::SetExtent(DWORD aspect, SIZEL* size) {
    if (aspect != DVASPECT_CONTENT) {
        return DV_E_DVASPECT;
    }
    if (!size) {
        return E_POINTER;
    }
    extent = *size;
    return S_OK;
}

STDMETHODIMP Embedding::GetExtent(DWORD aspect, SIZEL* size) {
    if (aspect != DVASPECT_CONTENT) {
        return DV_E_DVASPECT;
    }
    if (!size) {
        return E_POINTER;
    }
    *size = extent;
    return S_OK;
}

STDMETHODIMP Embedding::Advise(IAdviseSink*, DWORD* connection) {
    if (connection) {
        *connection = 0;
    }
    return OLE_E_ADVISENOTSUPPORTED;
}

STDMETHODIMP Embedding::EnumAdvise(IEnumSTATDATA** advises) {
    if (advises) {
        *advises = nullptr;
    }
    return OLE_E_ADVISENOTSUPPORTED;
}

STDMETHODIMP Embedding::GetMiscStatus(DWORD, DWORD* status) {
    if (!status) {
        return E_POINTER;
    }
    *status = OLEMISC_RECOMPOSEONRESIZE | OLEMISC_CANTLINKINSIDE | OLEMISC_INSIDEOUT |
              OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_SETCLIENTSITEFIRST;
    return S_OK;
}

STDMETHODIMP Embedding::GetWindow(HWND* window) {
    if (!window) {
        return E_POINTER;
    }
    *window = playerWindow;
    return playerWindow ? S_OK : E_FAIL;
}

STDMETHODIMP Embedding::InPlaceDeactivate() {
    try {
        deactivate();
        return S_OK;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

STDMETHODIMP Embedding::SetObjectRects(LPCRECT position, LPCRECT) {
    if (!position) {
        return E_POINTER;
    }
    if (playerWindow) {
        MoveWindow(playerWindow, position->left, position->top, position->right - position->left,
                   position->bottom - position->top, TRUE);
    }
    return S_OK;
}

HRESULT Embedding::activate(IOleClientSite* site) {
    if (playerWindow) {
        ShowWindow(playerWindow, SW_SHOW);
        return S_OK;
    }
    if (!site) {
        return E_UNEXPECTED;
    }
    ComPtr<IOleInPlaceSite> candidate;
    if (FAILED(site->QueryInterface(IID_IOleInPlaceSite, candidate.putVoid()))) {
        return E_NOINTERFACE;
    }
    HWND parent = nullptr;
    if (candidate->CanInPlaceActivate() != S_OK || FAILED(candidate->GetWindow(&parent))) {
        return E_FAIL;
    }
    candidate->OnInPlaceActivate();
    ComPtr<IOleInPlaceFrame> frame;
    ComPtr<IOleInPlaceUIWindow> document;
    RECT position = {};
    RECT clip = {};
    OLEINPLACEFRAMEINFO frameInfo = {};
    frameInfo.cb = sizeof frameInfo;
    if (FAILED(candidate->GetWindowContext(frame.put(), document.put(), &position, &clip, &frameInfo))) {
        GetClientRect(parent, &position);
    }
    // Not needed: the player has no menus or tool bars to place.
    frame.reset();
    document.reset();
    playerWindow =
        CreateWindowExW(0, playerClass, L"Stand-in player", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS,
                        position.left, position.top, position.right - position.left,
                        position.bottom - position.top, parent, nullptr, module(), this);
    inPlaceSite = std::move(candidate);
    hostWindow = parent;
    return S_OK;
}

void Embedding::deactivate() {
    if (!inPlaceSite) {
        return;
    }
    if (playerWindow) {
        DestroyWindow(playerWindow);
        playerWindow = nullptr;
    }
    const ComPtr<IOleInPlaceSite> site = std::move(inPlaceSite);
    hostWindow = nullptr;
    site->OnInPlaceDeactivate();
}
