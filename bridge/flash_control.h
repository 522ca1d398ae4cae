#pragma once
// The player control as the host uses it. Every call is bound by name through
// IDispatch (the control's interface is dual), so no vendor header or type
// library is needed.

#include "base/handles.h"

#include <cstdint>
#include <string>

extern const CLSID CLSID_ShockwaveFlash;
extern const IID IID_IShockwaveFlash;
extern const IID DIID_IShockwaveFlashEvents;

// The dispatch part of the control's dual interface is all the host calls.
using IShockwaveFlash = IDispatch;

// The one control of the run; null before start-up creates it and after
// shutdown releases it.
extern ComPtr<IShockwaveFlash> flashControl;

// S_OK when the control knows every name the host calls it by, else the
// failure of the first name it does not know. A player that answers names
// from a type library it cannot find fails here, before any call, rather
// than half-way through the game.
HRESULT bindEveryCall(IShockwaveFlash* control) noexcept;

// The typed calls throw _com_error on failure, carrying the HRESULT and the
// control's error object for IShockwaveFlash when it offers one.
uint32_t flashVersion(IShockwaveFlash* control);
void disableLocalSecurity(IShockwaveFlash* control);
void putMovie(IShockwaveFlash* control, const std::wstring& path);
void putMenu(IShockwaveFlash* control, bool enabled);
// Becomes the result of the movie's call being handled: the reply up to its
// first NUL.
void returnToMovie(IShockwaveFlash* control, const std::wstring& reply);
// The same for a reply already in its BSTR, handed over as it is.
void returnToMovie(IShockwaveFlash* control, const UniqueBstr& reply);
// The BSTR the control is handed for `text`: the text up to its first NUL.
// Throws _com_error when the memory is not there.
UniqueBstr textBstr(const std::wstring& text);

// Sends a fixed request to the movie through flashControl. Nothing is done
// without a control; every failure is ignored and no exception leaves it.
void callMovie(const wchar_t* request) noexcept;
