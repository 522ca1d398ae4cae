#pragma once
// The stand-in control's object and its event connection point, shared by
// standin.cpp and dispatch.cpp, where the control's IDispatch members are.

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <string>
#include <vector>

#include "embedding.h"
#include "base/handles.h"
#include "log.h"
#include "script.h"
#include "settings.h"

extern const CLSID clsidStandIn;
extern const IID iidShockwaveFlash;
extern const IID diidFlashEvents;

class Control;

class EventPoint : public IConnectionPoint {
  public:
    explicit EventPoint(Control& owner) : owner(owner) {}
    EventPoint(const EventPoint&) = delete;
    EventPoint& operator=(const EventPoint&) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP GetConnectionInterface(IID* iid) override;
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** container) override;
    STDMETHODIMP Advise(IUnknown* candidate, DWORD* cookie) override;
    STDMETHODIMP Unadvise(DWORD cookie) override;
    STDMETHODIMP EnumConnections(IEnumConnections** connections) override;

    IDispatch* events() const { return sink.get(); }

  private:
    Control& owner;
    ComPtr<IDispatch> sink;
};

class Control final : public IDispatch,
                      public IConnectionPointContainer,
                      public ISupportErrorInfo,
                      private ScriptHost {
  public:
    explicit Control(const Settings& settings);

    ~Control();

    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    const Settings& config() const { return settings; }
    void tick() { script.tick(); }

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        try {
            if (!object) {
                return E_POINTER;
            }
            *object = nullptr;
            if (iid == IID_IUnknown || iid == IID_IDispatch || iid == iidShockwaveFlash) {
                *object = static_cast<IDispatch*>(this);
            } else if (iid == IID_IConnectionPointContainer) {
                logLine(L"query IConnectionPointContainer");
                if (settings.fails(L"container")) {
                    logFailure(L"container", E_NOINTERFACE);
                    return E_NOINTERFACE;
                }
                *object = static_cast<IConnectionPointContainer*>(this);
            } else if (iid == IID_ISupportErrorInfo) {
                *object = static_cast<ISupportErrorInfo*>(this);
            } else if (iid == IID_IOleObject) {
                *object = static_cast<IOleObject*>(&embedding);
            } else if (iid == IID_IOleWindow || iid == IID_IOleInPlaceObject) {
                *object = static_cast<IOleInPlaceObject*>(&embedding);
            } else {
                return E_NOINTERFACE;
            }
            AddRef();
            return S_OK;
        } catch (...) {
            return E_UNEXPECTED;
        }
    }

    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&references)); }

    STDMETHODIMP_(ULONG) Release() override {
        LONG left = InterlockedDecrement(&references);
        if (left == 0) {
            delete this;
        }
        return static_cast<ULONG>(left);
    }

    // IDispatch, apart in dispatch.cpp
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override;
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* exception, UINT* argumentError) override;

    // IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** points) override {
        if (points) {
            *points = nullptr;
        }
        return E_NOTIMPL;
    }

    STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** point) override {
        try {
            if (!point) {
                return E_POINTER;
            }
            *point = nullptr;
            logLine(L"find connection point");
            if (settings.fails(L"connectionpoint")) {
                logFailure(L"connectionpoint", CONNECT_E_NOCONNECTION);
                return CONNECT_E_NOCONNECTION;
            }
            if (iid != diidFlashEvents) {
                return CONNECT_E_NOCONNECTION;
            }
            *point = &eventPoint;
            eventPoint.AddRef();
            return S_OK;
        } catch (...) {
            return E_UNEXPECTED;
        }
    }

    // ISupportErrorInfo
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override {
        return iid == iidShockwaveFlash ? S_OK : S_FALSE;
    }

  private:
    HRESULT dispatch(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                     UINT* argumentError);
    HRESULT fail(const wchar_t* name, EXCEPINFO* exception);
    void startScript();
    void raiseEvent(DISPID id, std::vector<VARIANTARG>& values);
    void noteReplies();
    void raiseEvent(DISPID id, const std::vector<std::wstring>& arguments);

    void raiseFlashCall(const std::wstring& request) override;
    void raiseFsCommand(const std::wstring& command, const std::wstring& args) override;
    bool raiseOddEvent(const std::wstring& event, const std::vector<std::wstring>& arguments) override;
    HWND hostWindow() override;
    HWND playerWindow() override { return embedding.ownWindow(); }
    void stopTicks() override;

    LONG references = 1;
    Settings settings;
    EventPoint eventPoint;
    Script script;
    // One slot per FlashCall in flight: how often SetReturnValue answered it.
    std::vector<int> replies;
    Embedding embedding;
    HWND timerWindow = nullptr;
};
