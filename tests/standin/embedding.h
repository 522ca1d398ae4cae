#pragma once
// What a container needs to host the control in place (atl.dll among them):
// IOleObject and IOleInPlaceObject, and the player window over the
// container's area. Part of the control: it shares its identity and count.

#include "base/handles.h"

#include <ole2.h>

#include <string>

class Embedding : public IOleObject, public IOleInPlaceObject {
  public:
    Embedding(IUnknown& owner, const CLSID& clsid) : owner(owner), clsid(clsid) {}
    ~Embedding();
    Embedding(const Embedding&) = delete;
    Embedding& operator=(const Embedding&) = delete;

    static void registerWindowClass();
    static void unregisterWindowClass();

    // The in-place site's window while the control is in-place active.
    HWND siteWindow() const { return hostWindow; }
    HWND ownWindow() const { return playerWindow; }
    // Between the container's Close and a new client site. A player has torn
    // its movie down by then: nothing should call it any more.
    bool isClosed() const { return closed; }
    void showMovie(const std::wstring& path);

    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        return owner.QueryInterface(iid, object);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return owner.AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return owner.Release(); }

    STDMETHODIMP SetClientSite(IOleClientSite* site) override;
    STDMETHODIMP GetClientSite(IOleClientSite** site) override;
    STDMETHODIMP SetHostNames(LPCOLESTR, LPCOLESTR) override { return S_OK; }
    STDMETHODIMP Close(DWORD) override;
    STDMETHODIMP SetMoniker(DWORD, IMoniker*) override { return E_NOTIMPL; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** moniker) override;
    STDMETHODIMP InitFromData(IDataObject*, BOOL, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP GetClipboardData(DWORD, IDataObject** data) override;
    STDMETHODIMP DoVerb(LONG verb, LPMSG, IOleClientSite* site, LONG, HWND, LPCRECT) override;
    STDMETHODIMP EnumVerbs(IEnumOLEVERB** verbs) override;
    STDMETHODIMP Update() override { return S_OK; }
    STDMETHODIMP IsUpToDate() override { return S_OK; }
    STDMETHODIMP GetUserClassID(CLSID* id) override;
    STDMETHODIMP GetUserType(DWORD, LPOLESTR* type) override;
    STDMETHODIMP SetExtent(DWORD aspect, SIZEL* size) override;
    STDMETHODIMP GetExtent(DWORD aspect, SIZEL* size) override;
    STDMETHODIMP Advise(IAdviseSink*, DWORD* connection) override;
    STDMETHODIMP Unadvise(DWORD) override { return OLE_E_NOCONNECTION; }
    STDMETHODIMP EnumAdvise(IEnumSTATDATA** advises) override;
    STDMETHODIMP GetMiscStatus(DWORD, DWORD* status) override;
    STDMETHODIMP SetColorScheme(LOGPALETTE*) override { return E_NOTIMPL; }

    STDMETHODIMP GetWindow(HWND* window) override;
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP InPlaceDeactivate() override;
    STDMETHODIMP UIDeactivate() override { return S_OK; }
    STDMETHODIMP SetObjectRects(LPCRECT position, LPCRECT) override;
    STDMETHODIMP ReactivateAndUndo() override { return E_NOTIMPL; }

    const std::wstring& movie() const { return moviePath; }

  private:
    HRESULT activate(IOleClientSite* site);
    void deactivate();

    IUnknown& owner;
    CLSID clsid;
    std::wstring moviePath;
    ComPtr<IOleClientSite> clientSite;
    ComPtr<IOleInPlaceSite> inPlaceSite;
    HWND hostWindow = nullptr;
    HWND playerWindow = nullptr;
    bool closed = false;
    // What a container sees before it sets an extent: 640 by 480 pixels at 96 dpi.
    SIZEL extent = {16933, 12700};
};
