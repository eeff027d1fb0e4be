#include "Automation.h"

#include <algorithm>
#include <vector>

#include "Platform.h"

namespace {

constexpr DWORD BusyRetryIntervalMs = 100;

// Excel picks its language resources by the LCID of each call. An English Excel 2002 or 2003
// without the matching language pack fails any other LCID with TYPE_E_INVDATAREAD ("Old format
// or invalid type library", KB 320369, KB 234675), so the user's own locale would break every
// call on a machine with local regional settings. Visual Basic and VBA always speak to Excel in
// US English, which every language of Excel understands; so do we.
constexpr LCID ExcelLcid = MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT);
constexpr DWORD GiveUp = static_cast<DWORD>(-1);

// Set when COM has consulted the filter about a call the server turned away: the filter's answer
// is then final. One thread, one apartment, so a plain flag does.
bool FilterConsulted = false;

// Lets COM retry calls that a busy Excel turns away instead of failing them at once.
// It lives as long as the program, so it is not reference counted. COM calls it from its own
// frames, which an exception cannot unwind through, so nothing here may throw.
struct BusyServerFilter final : IMessageFilter {
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID Iid, void** Out) noexcept override {
    if (Iid == IID_IUnknown || Iid == IID_IMessageFilter) {
      *Out = static_cast<IMessageFilter*>(this);
      return S_OK;
    }
    *Out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() noexcept override { return 1; }
  ULONG STDMETHODCALLTYPE Release() noexcept override { return 1; }
  DWORD STDMETHODCALLTYPE HandleInComingCall(DWORD, HTASK, DWORD, LPINTERFACEINFO) noexcept override {
    return SERVERCALL_ISHANDLED;
  }
  DWORD STDMETHODCALLTYPE RetryRejectedCall(HTASK, DWORD TickCount, DWORD RejectType) noexcept override {
    FilterConsulted = true;
    return BusyRetryDelay(TickCount, RejectType);
  }
  DWORD STDMETHODCALLTYPE MessagePending(HTASK, DWORD, DWORD) noexcept override { return PENDINGMSG_WAITDEFPROCESS; }
};

BusyServerFilter TheBusyServerFilter;

// Runs one call again while the server turns it away and no filter has had its say.
template <class Call>
HRESULT RetryWhileBusy(Call Attempt) {
  const DWORD Start = GetTickCount();
  for (;;) {
    FilterConsulted = false;
    const HRESULT Result = Attempt();
    const DWORD Delay = RejectionRetryDelay(Result, FilterConsulted, GetTickCount() - Start);
    if (Delay == GiveUp) return Result;
    Sleep(Delay);
  }
}

// Turns an automation exception into the failure it stands for, freeing what it carried.
HRESULT TakeException(EXCEPINFO& Info) {
  if (Info.pfnDeferredFillIn) Info.pfnDeferredFillIn(&Info);
  SysFreeString(Info.bstrSource);
  SysFreeString(Info.bstrDescription);
  SysFreeString(Info.bstrHelpFile);
  if (FAILED(Info.scode)) return Info.scode;
  return DISP_E_EXCEPTION;
}

// Resolves Name and invokes it; arguments come in natural order and go out reversed, as IDispatch wants.
void Invoke(const Object& Target, const wchar_t* Name, WORD Flags, std::initializer_list<VARIANT> Args,
            VARIANT* Result) {
  IDispatch* Dispatch = Target.Get();
  if (!Dispatch) RaiseFailure(E_POINTER);
  LPOLESTR Names[] = {const_cast<LPOLESTR>(Name)};
  DISPID Member = DISPID_UNKNOWN;
  HRESULT Status = RetryWhileBusy([&] { return Dispatch->GetIDsOfNames(IID_NULL, Names, 1, ExcelLcid, &Member); });
  if (FAILED(Status)) RaiseFailure(Status);

  std::vector<VARIANT> Reversed(Args.begin(), Args.end());
  std::reverse(Reversed.begin(), Reversed.end());
  DISPID PutId = DISPID_PROPERTYPUT;
  DISPPARAMS Params{};
  Params.rgvarg = Reversed.empty() ? nullptr : Reversed.data();
  Params.cArgs = static_cast<UINT>(Reversed.size());
  if (Flags & DISPATCH_PROPERTYPUT) {
    Params.rgdispidNamedArgs = &PutId;
    Params.cNamedArgs = 1;
  }
  EXCEPINFO Exception{};
  UINT ArgError = 0;
  Status = RetryWhileBusy([&] {
    if (Result) VariantClear(Result);
    Exception = EXCEPINFO{};
    return Dispatch->Invoke(Member, IID_NULL, ExcelLcid, Flags, &Params, Result, &Exception, &ArgError);
  });
  if (Status == DISP_E_EXCEPTION) Status = TakeException(Exception);
  if (FAILED(Status)) RaiseFailure(Status);
}

// The object that a call answered with; anything else is a type mismatch.
Object TakeObject(const VARIANT& Value) {
  Object Found;
  IUnknown* Unknown = nullptr;
  if (Value.vt == VT_DISPATCH) Unknown = Value.pdispVal;
  if (Value.vt == VT_UNKNOWN) Unknown = Value.punkVal;
  if (!Unknown) RaiseFailure(DISP_E_TYPEMISMATCH);
  const HRESULT Status = Unknown->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(Found.Put()));
  if (FAILED(Status)) RaiseFailure(Status);
  return Found;
}

}  // namespace

ScopedBstr::ScopedBstr(const std::wstring& Text)
    : Value(SysAllocStringLen(Text.data(), static_cast<UINT>(Text.size()))) {
  if (!Value) RaiseFailure(E_OUTOFMEMORY);
}

ComApartment::ComApartment() : Started(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {
  // Without the filter, the wrapper's own retry still waits for a busy server.
  if (SUCCEEDED(Started)) Filtered = SUCCEEDED(CoRegisterMessageFilter(&TheBusyServerFilter, &Previous));
}

ComApartment::~ComApartment() {
  if (FAILED(Started)) return;
  if (Filtered) {
    IMessageFilter* Ours = nullptr;
    CoRegisterMessageFilter(Previous, &Ours);
    if (Previous) Previous->Release();
  }
  CoUninitialize();
}

VARIANT BoolArg(bool Value) {
  VARIANT Arg;
  VariantInit(&Arg);
  Arg.vt = VT_BOOL;
  Arg.boolVal = Value ? VARIANT_TRUE : VARIANT_FALSE;
  return Arg;
}

VARIANT TextArg(BSTR Value) {
  VARIANT Arg;
  VariantInit(&Arg);
  Arg.vt = VT_BSTR;
  Arg.bstrVal = Value;
  return Arg;
}

VARIANT TextRefArg(BSTR* Variable) {
  VARIANT Arg;
  VariantInit(&Arg);
  Arg.vt = VT_BYREF | VT_BSTR;
  Arg.pbstrVal = Variable;
  return Arg;
}

Object CreateObject(const wchar_t* ProgId) {
  CLSID Class;
  HRESULT Status = CLSIDFromProgID(ProgId, &Class);
  if (FAILED(Status)) RaiseFailure(Status);
  Object Created;
  Status = RetryWhileBusy([&] {
    return CoCreateInstance(Class, nullptr, CLSCTX_SERVER, IID_IDispatch, reinterpret_cast<void**>(Created.Put()));
  });
  if (FAILED(Status)) RaiseFailure(Status);
  return Created;
}

void PutProperty(const Object& Target, const wchar_t* Name, VARIANT Value) {
  Invoke(Target, Name, DISPATCH_PROPERTYPUT, {Value}, nullptr);
}

Object GetProperty(const Object& Target, const wchar_t* Name, std::initializer_list<VARIANT> Args) {
  // Visual Basic's late binding reads a property with both flags, and Excel hands AddIns(Title)
  // on to the collection's default member for that form: what its own clients send.
  ScopedVariant Result;
  Invoke(Target, Name, DISPATCH_METHOD | DISPATCH_PROPERTYGET, Args, Result.Receive());
  return TakeObject(Result.Get());
}

void CallMethod(const Object& Target, const wchar_t* Name, std::initializer_list<VARIANT> Args) {
  // A result slot is always given: without one, some proxies fetch the result anyway and leak it.
  ScopedVariant Discarded;
  Invoke(Target, Name, DISPATCH_METHOD, Args, Discarded.Receive());
}

Object CallObjectMethod(const Object& Target, const wchar_t* Name, std::initializer_list<VARIANT> Args) {
  ScopedVariant Result;
  Invoke(Target, Name, DISPATCH_METHOD, Args, Result.Receive());
  return TakeObject(Result.Get());
}

DWORD BusyRetryDelay(DWORD ElapsedMs, DWORD RejectType) noexcept {
  // Only "try again later" is worth waiting for; a flat rejection will not change.
  if (RejectType != SERVERCALL_RETRYLATER) return GiveUp;
  if (ElapsedMs >= BusyWaitLimitMs) return GiveUp;
  return BusyRetryIntervalMs;
}

DWORD RejectionRetryDelay(HRESULT Result, bool FilterConsulted, DWORD ElapsedMs) noexcept {
  if (Result != RPC_E_CALL_REJECTED && Result != RPC_E_SERVERCALL_RETRYLATER) return GiveUp;
  // The filter has waited, or declined to, by the same policy; waiting again would double it.
  if (FilterConsulted) return GiveUp;
  // COM consulted no filter (Wine never does, and there a busy server can only turn calls away
  // flatly), so nothing tells busy from refused: wait as for a busy server, within the same bound.
  return BusyRetryDelay(ElapsedMs, SERVERCALL_RETRYLATER);
}
