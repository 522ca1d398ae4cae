#pragma once
// Move-only owners of Windows and COM resources, one per kind, each knowing its
// close function and its invalid value.

#include "host/system_library.h"

#include <windows.h>
#include <oleauto.h>
#include <objbase.h>

#include <utility>

template <typename Traits> class UniqueResource {
  public:
    using Type = typename Traits::Type;

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
    Type release() noexcept { return std::exchange(value_, Traits::invalid()); }
    void reset(Type value = Traits::invalid()) noexcept {
        Type old = std::exchange(value_, value);
        if (old != Traits::invalid()) {
            Traits::close(old);
        }
    }
    explicit operator bool() const noexcept { return value_ != Traits::invalid(); }

  private:
    Type value_ = Traits::invalid();
};

struct HandleTraits {
    using Type = HANDLE;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type value) noexcept { CloseHandle(value); }
};
struct FileHandleTraits {
    using Type = HANDLE;
    static Type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(Type value) noexcept { CloseHandle(value); }
};
struct FindHandleTraits {
    using Type = HANDLE;
    static Type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(Type value) noexcept { FindClose(value); }
};
struct RegistryKeyTraits {
    using Type = HKEY;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type value) noexcept { RegCloseKey(value); }
};
struct ModuleTraits {
    using Type = HMODULE;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type value) noexcept { FreeLibrary(value); }
};
struct BstrTraits {
    using Type = BSTR;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type value) noexcept { SysFreeString(value); }
};
struct LocalMemoryTraits {
    using Type = HLOCAL;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type value) noexcept { LocalFree(value); }
};

struct GdiplusImageTraits {
    using Type = Gdiplus::GpImage*;
    static Type invalid() noexcept { return nullptr; }
    // Only made while GDI+ runs, so its library is there.
    static void close(Type value) noexcept { gdiplusLibrary()->disposeImage(value); }
};

using UniqueHandle = UniqueResource<HandleTraits>;
using UniqueFile = UniqueResource<FileHandleTraits>;
using UniqueFind = UniqueResource<FindHandleTraits>;
using UniqueKey = UniqueResource<RegistryKeyTraits>;
using UniqueModule = UniqueResource<ModuleTraits>;
using UniqueBstr = UniqueResource<BstrTraits>;
using UniqueLocal = UniqueResource<LocalMemoryTraits>;
using UniqueGdiplusImage = UniqueResource<GdiplusImageTraits>;

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
