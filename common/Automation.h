#pragma once
#include <windows.h>
#include <oleauto.h>

#include <initializer_list>
#include <string>

// Holds one counted COM reference and releases it when dropped.
template <class T>
class ComRef {
 public:
  ComRef() = default;
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  ComRef(ComRef&& Other) noexcept : Ptr(Other.Ptr) { Other.Ptr = nullptr; }
  ComRef& operator=(ComRef&& Other) noexcept {
    if (this != &Other) {
      Release();
      Ptr = Other.Ptr;
      Other.Ptr = nullptr;
    }
    return *this;
  }
  ~ComRef() { Release(); }
  void Release() {
    if (T* Held = Ptr) {
      Ptr = nullptr;
      Held->Release();
    }
  }
  T* Get() const { return Ptr; }
  T** Put() {
    Release();
    return &Ptr;
  }

 private:
  T* Ptr = nullptr;
};

// A late-bound automation object.
using Object = ComRef<IDispatch>;

// Owns one BSTR; its address is what a by-reference argument points at.
class ScopedBstr {
 public:
  explicit ScopedBstr(const std::wstring& Text);
  ScopedBstr(const ScopedBstr&) = delete;
  ScopedBstr& operator=(const ScopedBstr&) = delete;
  ~ScopedBstr() { SysFreeString(Value); }
  BSTR Get() const { return Value; }
  BSTR* Address() { return &Value; }

 private:
  BSTR Value;
};

// Owns one VARIANT and clears it when dropped.
class ScopedVariant {
 public:
  ScopedVariant() { VariantInit(&Value); }
  ScopedVariant(const ScopedVariant&) = delete;
  ScopedVariant& operator=(const ScopedVariant&) = delete;
  ~ScopedVariant() { VariantClear(&Value); }
  VARIANT* Receive() {
    VariantClear(&Value);
    return &Value;
  }
  const VARIANT& Get() const { return Value; }

 private:
  VARIANT Value;
};

// A single-threaded apartment for this thread, with the busy-server message filter, for the holder's lifetime.
class ComApartment {
 public:
  ComApartment();
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  ~ComApartment();

 private:
  HRESULT Started;
  bool Filtered = false;
  IMessageFilter* Previous = nullptr;
};

// Argument views; they borrow, the caller keeps ownership.
VARIANT BoolArg(bool Value);
VARIANT TextArg(BSTR Value);
VARIANT TextRefArg(BSTR* Variable);

// A new object from a programmatic identifier.
Object CreateObject(const wchar_t* ProgId);
// Sets a property.
void PutProperty(const Object& Target, const wchar_t* Name, VARIANT Value);
// Reads a property that holds an object.
Object GetProperty(const Object& Target, const wchar_t* Name, std::initializer_list<VARIANT> Args = {});
// Calls a method; its result, if any, is released at once.
void CallMethod(const Object& Target, const wchar_t* Name, std::initializer_list<VARIANT> Args = {});
// Calls a method that answers with an object.
Object CallObjectMethod(const Object& Target, const wchar_t* Name, std::initializer_list<VARIANT> Args = {});

// The one policy for a call the server turned away, used by the message filter and by the
// wrapper's own retry: how long to wait before trying again; (DWORD)-1 gives up.
// ElapsedMs counts from the first attempt of that call.
DWORD BusyRetryDelay(DWORD ElapsedMs, DWORD RejectType) noexcept;
// The wrapper's side: a call that failed with Result, after COM did or did not consult the filter.
DWORD RejectionRetryDelay(HRESULT Result, bool FilterConsulted, DWORD ElapsedMs) noexcept;
// How long a busy server is waited for, per call, in total.
inline constexpr DWORD BusyWaitLimitMs = 30000;
