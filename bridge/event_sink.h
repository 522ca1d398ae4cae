#pragma once
// The object through which the control reports the movie's calls. It is the
// one entry point of every host command.

#include "bridge/flash_control.h"

// FlashCall and FSCommand, the two events the host serves.
inline constexpr DISPID dispidFlashCall = 0xC5;
inline constexpr DISPID dispidFSCommand = 0x96;

// Lives on the stack of start-up for the whole run and never deletes itself,
// whatever its count; it answers only the control's event interface.
class FlashEventListener final : public IDispatch {
  public:
    FlashEventListener() = default;
    FlashEventListener(const FlashEventListener&) = delete;
    FlashEventListener& operator=(const FlashEventListener&) = delete;

    // Replies go to this control; no reference is held.
    void setControl(IShockwaveFlash* control) noexcept { control_ = control; }
    long references() const noexcept { return refCount_; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) noexcept override;
    ULONG STDMETHODCALLTYPE AddRef() noexcept override;
    ULONG STDMETHODCALLTYPE Release() noexcept override;
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale,
                                            DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID locale, WORD flags, DISPPARAMS* parameters,
                                     VARIANT* result, EXCEPINFO* exception, UINT* argumentError) override;

  private:
    long refCount_ = 0;
    IShockwaveFlash* control_ = nullptr;
};
