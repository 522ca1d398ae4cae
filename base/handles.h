#pragma once
// Move-only owners of Windows and COM resources, one per kind, each knowing its
// close function and its invalid value.

#include "base/system_library.h"

#include <windows.h>
#include <oleauto.h>
#include <objbase.h>

#include <utility>

// `invalid` gives the value that holds nothing; `close` ends what is held.
template <typename Type, auto close, Type (*invalid)()> class UniqueResource {
  public:
    UniqueResource() noexcept = default;
    explicit UniqueResource(Type value) noexcept : value_(value) {}
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~UniqueResource() { reset(); }

    Type get() const noexcept { return value_; }
    // For out-parameters: closes what is held, then lends the slot.
    Type* put() noexcept {
        reset();
        return &value_;
    }
    Type release() noexcept { return std::exchange(value_, invalid()); }
    void reset(Type value = invalid()) noexcept {
        Type old = std::exchange(value_, value);
        if (old != invalid()) {
            close(old);
        }
    }
    explicit operator bool() const noexcept { return value_ != invalid(); }

  private:
    Type value_ = invalid();
};

template <typename Type> Type nullValue() noexcept {
    return nullptr;
}
inline HANDLE invalidHandleValue() noexcept {
    return INVALID_HANDLE_VALUE;
}

// Most kinds hold nothing as null; files and searches as INVALID_HANDLE_VALUE.
template <typename Type, auto close> using UniqueNullable = UniqueResource<Type, close, nullValue<Type>>;
template <auto close> using UniqueInvalidable = UniqueResource<HANDLE, close, invalidHandleValue>;
// Only made while GDI+ runs, so its library is there.
inline void disposeGdiplusImage(Gdiplus::GpImage* image) noexcept {
    gdiplusLibrary()->disposeImage(image);
}
// Only made once WinHTTP is loaded.
inline void closeInternetHandle(HINTERNET handle) noexcept {
    winHttpLibrary()->closeHandle(handle);
}

inline void unmapView(void* view) noexcept {
    UnmapViewOfFile(view);
}

using UniqueHandle = UniqueNullable<HANDLE, CloseHandle>;
// A view of a file mapping.
using UniqueView = UniqueNullable<void*, unmapView>;
using UniqueFile = UniqueInvalidable<CloseHandle>;
using UniqueFind = UniqueInvalidable<FindClose>;
// A Toolhelp snapshot of the system's processes.
using UniqueSnapshot = UniqueInvalidable<CloseHandle>;
using UniqueKey = UniqueNullable<HKEY, RegCloseKey>;
using UniqueModule = UniqueNullable<HMODULE, FreeLibrary>;
using UniqueBstr = UniqueNullable<BSTR, SysFreeString>;
using UniqueLocal = UniqueNullable<HLOCAL, LocalFree>;
using UniqueGdiplusImage = UniqueNullable<Gdiplus::GpImage*, disposeGdiplusImage>;
using UniqueInternet = UniqueNullable<HINTERNET, closeInternetHandle>;
// What CreateActCtxW made; invalid when it failed.
using UniqueActivationContext = UniqueInvalidable<ReleaseActCtx>;

// One reference to a COM interface.
template <typename Interface> class ComPtr {
  public:
    ComPtr() noexcept = default;
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ComPtr(ComPtr&& other) noexcept : pointer_(other.detach()) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        reset(other.detach());
        return *this;
    }
    ~ComPtr() { reset(); }

    // Takes over a reference the caller already owns.
    static ComPtr attach(Interface* pointer) noexcept {
        ComPtr result;
        result.pointer_ = pointer;
        return result;
    }

    Interface* get() const noexcept { return pointer_; }
    Interface* operator->() const noexcept { return pointer_; }
    Interface** put() noexcept {
        reset();
        return &pointer_;
    }
    void** putVoid() noexcept { return reinterpret_cast<void**>(put()); }
    Interface* detach() noexcept { return std::exchange(pointer_, nullptr); }
    // Null first, so that nothing reaches the old object while it is let go.
    void reset(Interface* pointer = nullptr) noexcept {
        Interface* old = std::exchange(pointer_, pointer);
        if (old) {
            old->Release();
        }
    }
    explicit operator bool() const noexcept { return pointer_ != nullptr; }

  private:
    Interface* pointer_ = nullptr;
};

// A VARIANT, cleared at the end.
class UniqueVariant {
  public:
    UniqueVariant() noexcept { VariantInit(&value_); }
    UniqueVariant(const UniqueVariant&) = delete;
    UniqueVariant& operator=(const UniqueVariant&) = delete;
    ~UniqueVariant() { VariantClear(&value_); }

    VARIANT* get() noexcept { return &value_; }
    VARIANT* operator->() noexcept { return &value_; }

  private:
    VARIANT value_;
};

// The EXCEPINFO an Invoke may fill; frees the strings it was given.
class UniqueExceptionInfo {
  public:
    UniqueExceptionInfo() noexcept = default;
    UniqueExceptionInfo(const UniqueExceptionInfo&) = delete;
    UniqueExceptionInfo& operator=(const UniqueExceptionInfo&) = delete;
    ~UniqueExceptionInfo() {
        SysFreeString(value_.bstrSource);
        SysFreeString(value_.bstrDescription);
        SysFreeString(value_.bstrHelpFile);
    }

    EXCEPINFO* get() noexcept { return &value_; }
    EXCEPINFO* operator->() noexcept { return &value_; }

  private:
    EXCEPINFO value_ = {};
};

// CoInitialize for a scope; uninitialises only when the start succeeded.
class ComApartment {
  public:
    ComApartment() noexcept : initialized_(SUCCEEDED(CoInitialize(nullptr))) {}
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    ~ComApartment() { uninitialize(); }

    // Ends the apartment early, where shutdown order matters.
    void uninitialize() noexcept {
        if (std::exchange(initialized_, false)) {
            CoUninitialize();
        }
    }
    bool initialized() const noexcept { return initialized_; }

  private:
    bool initialized_;
};

// An activation context active on this thread until the scope ends or
// deactivate(); deactivates only when the activation succeeded. Scopes on one
// thread must end in the reverse order of their start.
class ActivationScope {
  public:
    ActivationScope() noexcept = default;
    explicit ActivationScope(HANDLE context) noexcept
        : active_(context != INVALID_HANDLE_VALUE && ActivateActCtx(context, &cookie_)) {}
    ActivationScope(const ActivationScope&) = delete;
    ActivationScope& operator=(const ActivationScope&) = delete;
    ActivationScope(ActivationScope&& other) noexcept
        : cookie_(other.cookie_), active_(std::exchange(other.active_, false)) {}
    ActivationScope& operator=(ActivationScope&& other) noexcept {
        deactivate();
        cookie_ = other.cookie_;
        active_ = std::exchange(other.active_, false);
        return *this;
    }
    ~ActivationScope() { deactivate(); }

    // DEACTIVATE_ACTCTX_FLAG_FORCE_EARLY_DEACTIVATION in `flags` also pops
    // what code run inside the context left activated above it, instead of
    // raising an exception there.
    void deactivate(DWORD flags = 0) noexcept {
        if (std::exchange(active_, false)) {
            DeactivateActCtx(flags, cookie_);
        }
    }
    bool active() const noexcept { return active_; }

  private:
    ULONG_PTR cookie_ = 0;
    bool active_ = false;
};

// GDI+ for a scope, version 1 with its own background thread and external
// codecs; shuts down only when the start-up succeeded. Not started without
// the system's gdiplus.dll.
class GdiplusSession {
  public:
    GdiplusSession() noexcept {
        const Gdiplus::GdiplusStartupInput input;
        started_ = gdiplusLibrary() && gdiplusLibrary()->startup(&token_, &input, nullptr) == Gdiplus::Ok;
    }
    GdiplusSession(const GdiplusSession&) = delete;
    GdiplusSession& operator=(const GdiplusSession&) = delete;
    ~GdiplusSession() {
        if (started_) {
            gdiplusLibrary()->shutdown(token_);
        }
    }
    bool started() const noexcept { return started_; }

  private:
    ULONG_PTR token_ = 0;
    bool started_ = false;
};
