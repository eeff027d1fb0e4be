// A stand-in for Excel's automation server, used by the tests under Wine.
// It answers the late-bound calls the programs make, writes every call to a
// journal beside the exe and can be told to fail or be busy through a control
// file beside the exe. It registers itself as Excel.Application.

#include <windows.h>
#include <ole2.h>

#include <map>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace {

// Our own class id, deliberately not Excel's, so a real Excel is never touched.
// {B7303CBB-893F-4E50-B0EB-A19076E490A5}
constexpr CLSID StandInClsid = {0xb7303cbb, 0x893f, 0x4e50, {0xb0, 0xeb, 0xa1, 0x90, 0x76, 0xe4, 0x90, 0xa5}};

constexpr wchar_t ProgId[] = L"Excel.Application";
constexpr wchar_t ClassDescription[] = L"Microsoft Excel Application";
constexpr wchar_t ExcelSource[] = L"Microsoft Excel";
constexpr SCODE ExcelError = static_cast<SCODE>(0x800A03EC);

// Timings of the server's own shutdown, in milliseconds.
constexpr UINT LeakGraceMs = 3000;      // after the last Application is released
constexpr UINT IdleStartMs = 30000;     // nobody ever asked for an object
constexpr UINT LifetimeCapMs = 120000;  // a client died holding references

struct AddInEntry {
  std::wstring Title;
  std::wstring FullName;
  bool Installed;
};

class DispatchObject;

// Everything one server process knows; a COM server has one of these.
struct ServerState {
  std::wstring Folder;
  std::vector<std::wstring> Failing;  // "Type.Member" from the control file
  LONG BusyLeft = 0;
  bool BusyAtActivation = true;  // false: only IDispatch calls are turned away
  bool EnglishOnly = false;      // an English Excel without language packs: only LCID 1033
  LCID UserLocale = 0;           // the machine's user (and system) locale, for the two defaults
  LONG BusyCount = 0;
  std::vector<AddInEntry> AddInList;
  VARIANT_BOOL DisplayAlerts = VARIANT_TRUE;
  int NextId = 1;
  std::map<int, DispatchObject*> Live;
  int LiveApplications = 0;
  bool HandedOut = false;
  bool QuitCalled = false;
  bool ExitRequested = false;
  bool Exiting = false;  // the loop has ended; COM is tearing objects down
  DWORD ClassCookie = 0;
  LONG Locks = 0;
  UINT_PTR GraceTimer = 0;
};

ServerState Server;

// Case-insensitive equality, the way Excel matches names and titles.
bool SameText(const std::wstring& Left, const std::wstring& Right) {
  return CompareStringOrdinal(Left.c_str(), static_cast<int>(Left.size()), Right.c_str(),
                              static_cast<int>(Right.size()), TRUE) == CSTR_EQUAL;
}

// Control-file lines may end in CR (written on Windows) and be padded; neither belongs to a word.
std::wstring Trim(const std::wstring& Text) {
  const size_t First = Text.find_first_not_of(L" \t\r");
  if (First == std::wstring::npos) return std::wstring();
  const size_t Last = Text.find_last_not_of(L" \t\r");
  return Text.substr(First, Last - First + 1);
}

// Keeps a value on its own journal field: tabs and line breaks become spaces.
std::wstring OneField(std::wstring Text) {
  for (wchar_t& Letter : Text) {
    if (Letter == L'\t' || Letter == L'\r' || Letter == L'\n') Letter = L' ';
  }
  return Text;
}

// Appends one event line; opened and closed per line so that servers started
// one after another, and tests deleting the file between cases, all get along.
void Journal(const std::vector<std::wstring>& Fields) {
  std::wstring Line;
  for (size_t Index = 0; Index < Fields.size(); Index++) {
    if (Index) Line += L'\t';
    Line += Fields[Index];
  }
  AppendToFile(InFolder(Server.Folder, L"excel_standin.journal"), Utf8(Line) + "\n");
}

// Renders an argument as vt:value, looking through by-reference values.
std::wstring DescribeVariant(const VARIANT& Value) {
  const std::wstring Text = Hex<wchar_t>(V_VT(&Value), 4) + L":";
  switch (V_VT(&Value)) {
    case VT_BOOL: return Text + std::to_wstring(V_BOOL(&Value));
    case VT_BOOL | VT_BYREF: return Text + std::to_wstring(*V_BOOLREF(&Value));
    case VT_BSTR: return Text + OneField(V_BSTR(&Value) ? V_BSTR(&Value) : L"");
    case VT_BSTR | VT_BYREF: return Text + OneField(*V_BSTRREF(&Value) ? *V_BSTRREF(&Value) : L"");
    case VT_I1: return Text + std::to_wstring(V_I1(&Value));
    case VT_UI1: return Text + std::to_wstring(V_UI1(&Value));
    case VT_I2: return Text + std::to_wstring(V_I2(&Value));
    case VT_UI2: return Text + std::to_wstring(V_UI2(&Value));
    case VT_I4: return Text + std::to_wstring(V_I4(&Value));
    case VT_UI4: return Text + std::to_wstring(V_UI4(&Value));
    case VT_INT: return Text + std::to_wstring(V_INT(&Value));
    case VT_UINT: return Text + std::to_wstring(V_UINT(&Value));
    case VT_I8: return Text + std::to_wstring(V_I8(&Value));
    case VT_UI8: return Text + std::to_wstring(V_UI8(&Value));
    case VT_I2 | VT_BYREF: return Text + std::to_wstring(*V_I2REF(&Value));
    case VT_I4 | VT_BYREF: return Text + std::to_wstring(*V_I4REF(&Value));
    case VT_VARIANT | VT_BYREF: return Text + DescribeVariant(*V_VARIANTREF(&Value));
    default: return Text + L"?";
  }
}

// Withdraws the class object, so the next activation starts a new process.
void StopTakingClients() {
  if (Server.ClassCookie) {
    CoRevokeClassObject(Server.ClassCookie);
    Server.ClassCookie = 0;
  }
}

// Stops taking new clients and ends the message loop; the exit line is
// written once COM has let go.
void RequestExit() {
  if (Server.ExitRequested) return;
  Server.ExitRequested = true;
  StopTakingClients();
  PostQuitMessage(0);
}

// Fires LeakGraceMs after the last Application went away: whatever is left
// is held by a proxy that will never release it.
void CALLBACK GraceTimerProc(HWND, UINT, UINT_PTR, DWORD) {
  KillTimer(nullptr, Server.GraceTimer);
  Server.GraceTimer = 0;
  if (Server.LiveApplications == 0) RequestExit();
}

// Fires once early on: a server nobody connected to should not linger.
void CALLBACK IdleStartTimerProc(HWND, UINT, UINT_PTR Id, DWORD) {
  KillTimer(nullptr, Id);
  if (!Server.HandedOut) RequestExit();
}

// Fires once at the very end of the allowed lifetime.
void CALLBACK LifetimeCapTimerProc(HWND, UINT, UINT_PTR Id, DWORD) {
  KillTimer(nullptr, Id);
  RequestExit();
}

// Decides, after any object or lock went away, whether the process is done.
void CheckForExit() {
  if (Server.ExitRequested) return;
  if (Server.Live.empty() && Server.Locks == 0 && Server.HandedOut) {
    RequestExit();
    return;
  }
  if (Server.LiveApplications == 0 && Server.HandedOut && !Server.GraceTimer) {
    Server.GraceTimer = SetTimer(nullptr, 0, LeakGraceMs, GraceTimerProc);
  }
}

constexpr LCID EnglishUs = MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT);

// Whether Excel can serve a call made in this LCID. Excel loads its language resources by the
// LCID of every GetIDsOfNames and Invoke; an English Excel 2002 or 2003 without the matching
// language pack fails any LCID but 1033 with TYPE_E_INVDATAREAD, and reads LOCALE_USER_DEFAULT
// and LOCALE_SYSTEM_DEFAULT as the machine's own locale (KB 320369, KB 234675).
bool SpeaksLocale(LCID Lcid) {
  if (!Server.EnglishOnly) return true;
  if (Lcid == LOCALE_USER_DEFAULT || Lcid == LOCALE_SYSTEM_DEFAULT) Lcid = Server.UserLocale;
  return Lcid == EnglishUs;
}

enum class MemberShape { Method, Get, GetPut };
enum class ArgKind { None, Bool, Path, Title };

// One member of an object: how it may be invoked and with which arguments.
struct MemberEntry {
  const wchar_t* Name;
  DISPID Id;
  MemberShape Shape;
  UINT MinArgs;  // when read or called; a put always takes one value
  UINT MaxArgs;
  ArgKind Args;  // of the arguments, or for GetPut of the value put
};

// One validated Invoke, as handed to an object's member code.
struct ValidatedCall {
  bool Put;
  DISPPARAMS* Params;
  VARIANT* Result;
  EXCEPINFO* Exception;
};

// Argument Index in the client's order (rgvarg holds them last to first).
const VARIANT& Arg(const ValidatedCall& Call, UINT Index) {
  return Call.Params->rgvarg[Call.Params->cArgs - 1 - Index];
}

// Whether a variant carries a string in one of the forms clients pass.
bool IsStringArg(const VARIANT& Value, bool AllowVariantRef) {
  if (V_VT(&Value) == VT_BSTR || V_VT(&Value) == (VT_BSTR | VT_BYREF)) return true;
  return AllowVariantRef && V_VT(&Value) == (VT_VARIANT | VT_BYREF) && IsStringArg(*V_VARIANTREF(&Value), false);
}

// The text of a string argument already checked by IsStringArg.
std::wstring StringArg(const VARIANT& Value) {
  BSTR Text = nullptr;
  if (V_VT(&Value) == VT_BSTR)
    Text = V_BSTR(&Value);
  else if (V_VT(&Value) == (VT_BSTR | VT_BYREF))
    Text = *V_BSTRREF(&Value);
  else
    return StringArg(*V_VARIANTREF(&Value));
  return Text ? std::wstring(Text, SysStringLen(Text)) : std::wstring();
}

// Fills EXCEPINFO the way Excel does and returns DISP_E_EXCEPTION.
HRESULT ExcelException(const ValidatedCall& Call, SCODE Code, const std::wstring& Description) {
  if (Call.Exception) {
    ZeroMemory(Call.Exception, sizeof(*Call.Exception));
    Call.Exception->bstrSource = SysAllocString(ExcelSource);
    Call.Exception->bstrDescription = SysAllocString(Description.c_str());
    Call.Exception->scode = Code;
  }
  return DISP_E_EXCEPTION;
}

// Creates an object for the client, only if it has somewhere to put it.
// (Wine's IDispatch proxy always asks for a result, whatever the client did.)
template <class Object, class... Args>
HRESULT HandOut(const ValidatedCall& Call, Args... Arguments) {
  if (Call.Result) {
    V_VT(Call.Result) = VT_DISPATCH;
    V_DISPATCH(Call.Result) = new Object(Arguments...);
  }
  return S_OK;
}

HRESULT ReturnBool(const ValidatedCall& Call, VARIANT_BOOL Value) {
  if (Call.Result) {
    V_VT(Call.Result) = VT_BOOL;
    V_BOOL(Call.Result) = Value;
  }
  return S_OK;
}

HRESULT ReturnString(const ValidatedCall& Call, const std::wstring& Value) {
  if (Call.Result) {
    V_VT(Call.Result) = VT_BSTR;
    V_BSTR(Call.Result) = SysAllocStringLen(Value.data(), static_cast<UINT>(Value.size()));
  }
  return S_OK;
}

// Checks flags, named arguments, count and types against a member's shape,
// with the error codes a real automation server would give.
HRESULT ValidateCall(const MemberEntry& Member, WORD Flags, const DISPPARAMS* Params, UINT* ArgError) {
  const WORD PutFlags = DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF;
  if (Flags == DISPATCH_PROPERTYPUT) {
    if (Member.Shape != MemberShape::GetPut) return DISP_E_MEMBERNOTFOUND;
    if (Params->cNamedArgs != 1 || Params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT) return DISP_E_PARAMNOTFOUND;
    if (Params->cArgs != 1) return DISP_E_BADPARAMCOUNT;
    if (Member.Args == ArgKind::Bool && V_VT(&Params->rgvarg[0]) != VT_BOOL) {
      if (ArgError) *ArgError = 0;
      return DISP_E_TYPEMISMATCH;
    }
    return S_OK;
  }
  if (Flags & PutFlags) return DISP_E_MEMBERNOTFOUND;
  const WORD Wanted = Member.Shape == MemberShape::Method ? DISPATCH_METHOD : DISPATCH_PROPERTYGET;
  if (!(Flags & Wanted)) return DISP_E_MEMBERNOTFOUND;
  if (Params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
  if (Params->cArgs < Member.MinArgs || Params->cArgs > Member.MaxArgs) return DISP_E_BADPARAMCOUNT;
  for (UINT Index = 0; Index < Params->cArgs; Index++) {
    if (!IsStringArg(Params->rgvarg[Index], Member.Args == ArgKind::Title)) {
      if (ArgError) *ArgError = Index;
      return DISP_E_TYPEMISMATCH;
    }
  }
  return S_OK;
}

// The base of every object handed out: reference counting that journals the
// release, name lookup that remembers the client's spelling, and an Invoke
// that validates, injects failures and journals before and after the member.
class DispatchObject : public IDispatch {
 public:
  DispatchObject(const wchar_t* TypeName, const MemberEntry* Table, UINT TableSize)
      : Id(Server.NextId++), Type(TypeName), Members(Table), MemberCount(TableSize) {
    Server.Live[Id] = this;
    Server.HandedOut = true;
    Journal({L"new", std::to_wstring(Id), Type});
  }

  virtual ~DispatchObject() { Server.Live.erase(Id); }

  // Late binding needs nothing but IDispatch.
  STDMETHODIMP QueryInterface(REFIID Iid, void** Out) override {
    if (!Out) return E_POINTER;
    if (Iid == IID_IUnknown || Iid == IID_IDispatch) {
      *Out = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *Out = nullptr;
    return E_NOINTERFACE;
  }

  // Single-threaded apartment: no interlocking needed.
  STDMETHODIMP_(ULONG) AddRef() override { return ++References; }

  // The last release is journaled and may end the process.
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG Left = --References;
    if (Left == 0) {
      if (!Server.Exiting) Journal({L"release", std::to_wstring(Id), Type});
      delete this;
      CheckForExit();
    }
    return Left;
  }

  // No type information: clients must bind by name, as late binding does.
  STDMETHODIMP GetTypeInfoCount(UINT* Count) override {
    if (!Count) return E_POINTER;
    *Count = 0;
    return S_OK;
  }

  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** Info) override {
    if (Info) *Info = nullptr;
    return DISP_E_BADINDEX;
  }

  // Remembers how the client spelled each name, so the invoke line shows the client's own
  // spelling; the look-up is journaled with its LCID.
  STDMETHODIMP GetIDsOfNames(REFIID Iid, LPOLESTR* Names, UINT Count, LCID Lcid, DISPID* Ids) override {
    if (Iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    if (!Names || !Ids) return E_POINTER;
    HRESULT Status = SpeaksLocale(Lcid) ? S_OK : TYPE_E_INVDATAREAD;
    std::wstring Asked;
    for (UINT Index = 0; Index < Count; Index++) {
      if (Index) Asked += L",";
      Asked += OneField(Names[Index] ? Names[Index] : L"");
      // None of our members takes named parameters.
      const MemberEntry* Found = Index == 0 && Status == S_OK ? FindByName(Names[Index]) : nullptr;
      Ids[Index] = Found ? Found->Id : DISPID_UNKNOWN;
      if (Found)
        Spelling[Found->Id] = Names[Index];
      else if (Status == S_OK)
        Status = DISP_E_UNKNOWNNAME;
    }
    Journal({L"names", std::to_wstring(Id), Type, Asked, Hex<wchar_t>(Lcid),
             Hex<wchar_t>(static_cast<unsigned long>(Status))});
    return Status;
  }

  // Validates, fails on request or runs the member, and journals the outcome.
  STDMETHODIMP Invoke(DISPID DispId, REFIID Iid, LCID Lcid, WORD Flags, DISPPARAMS* Params, VARIANT* Result,
                      EXCEPINFO* Exception, UINT* ArgError) override {
    static DISPPARAMS NoParams = {nullptr, nullptr, 0, 0};
    if (!Params) Params = &NoParams;
    if (Result) VariantInit(Result);
    const MemberEntry* Found = FindById(DispId);
    HRESULT Status;
    if (Iid != IID_NULL)
      Status = DISP_E_UNKNOWNINTERFACE;
    else if (!SpeaksLocale(Lcid))
      Status = TYPE_E_INVDATAREAD;
    else if (!Found)
      Status = DISP_E_MEMBERNOTFOUND;
    else
      Status = ValidateCall(*Found, Flags, Params, ArgError);

    const ValidatedCall Call = {Flags == DISPATCH_PROPERTYPUT, Params, Result, Exception};
    if (SUCCEEDED(Status) && IsFailing(*Found))
      Status = InjectedFailure(*Found, Call);
    else if (SUCCEEDED(Status))
      Status = Act(DispId, Call);

    JournalInvoke(Found, DispId, Lcid, Flags, Params, Status, Exception);
    return Status;
  }

 protected:
  // Carries out a member whose call has already been validated.
  virtual HRESULT Act(DISPID DispId, const ValidatedCall& Call) = 0;

 private:
  // Ignores case, as Excel does.
  const MemberEntry* FindByName(const wchar_t* Name) const {
    for (UINT Index = 0; Name && Index < MemberCount; Index++) {
      if (SameText(Name, Members[Index].Name)) return &Members[Index];
    }
    return nullptr;
  }

  const MemberEntry* FindById(DISPID DispId) const {
    for (UINT Index = 0; Index < MemberCount; Index++) {
      if (Members[Index].Id == DispId) return &Members[Index];
    }
    return nullptr;
  }

  // Whether the control file asked this member to fail.
  bool IsFailing(const MemberEntry& Member) const {
    const std::wstring Name = std::wstring(Type) + L"." + Member.Name;
    for (const std::wstring& Entry : Server.Failing) {
      if (SameText(Entry, Name)) return true;
    }
    return false;
  }

  // Fails the member with Excel's generic error and Excel-like wording.
  HRESULT InjectedFailure(const MemberEntry& Member, const ValidatedCall& Call) const {
    std::wstring Description;
    if (Member.Shape == MemberShape::Method)
      Description = std::wstring(Member.Name) + L" method of " + Type + L" class failed";
    else
      Description = std::wstring(Call.Put ? L"Unable to set the " : L"Unable to get the ") + Member.Name +
                    L" property of the " + Type + L" class";
    return ExcelException(Call, ExcelError, Description);
  }

  // Writes the invoke line: the client's spelling, flags, named ids, LCID, result (with the
  // exception's own code after a slash), arguments.
  void JournalInvoke(const MemberEntry* Member, DISPID DispId, LCID Lcid, WORD Flags, const DISPPARAMS* Params,
                     HRESULT Status, const EXCEPINFO* Exception) const {
    std::wstring Name;
    const auto Spelled = Spelling.find(DispId);
    if (Spelled != Spelling.end())
      Name = OneField(Spelled->second);
    else if (Member)
      Name = Member->Name;
    else
      Name = L"#" + std::to_wstring(DispId);

    std::wstring Named;
    for (UINT Index = 0; Index < Params->cNamedArgs; Index++) {
      if (Index) Named += L",";
      Named += std::to_wstring(Params->rgdispidNamedArgs[Index]);
    }
    std::wstring Outcome = Hex<wchar_t>(static_cast<unsigned long>(Status));
    if (Status == DISP_E_EXCEPTION && Exception)
      Outcome += L"/" + Hex<wchar_t>(static_cast<unsigned long>(Exception->scode));
    std::vector<std::wstring> Fields = {
        L"invoke", std::to_wstring(Id), Type, Name, std::to_wstring(Flags), Named, Hex<wchar_t>(Lcid), Outcome,
    };
    for (UINT Index = Params->cArgs; Index > 0; Index--) Fields.push_back(DescribeVariant(Params->rgvarg[Index - 1]));
    Journal(Fields);
  }

  ULONG References = 1;
  int Id;
  const wchar_t* Type;
  const MemberEntry* Members;
  UINT MemberCount;
  std::map<DISPID, std::wstring> Spelling;
};

// DISPIDs are unique across all types, so a DISPID looked up on one object
// and used on another fails instead of silently hitting a different member.
enum : DISPID {
  AppDisplayAlerts = 101,
  AppWorkbooks,
  AppAddIns,
  AppQuit,
  WorkbooksAdd = 201,
  WorkbooksClose,
  AddInsAdd = 301,
  AddInInstalled = 401,
  AddInTitle,
  AddInFullName,
};

// A workbook; nothing is ever called on it.
class Workbook : public DispatchObject {
 public:
  Workbook() : DispatchObject(L"Workbook", nullptr, 0) {}

 protected:
  // Never reached: there are no members to validate a call against.
  HRESULT Act(DISPID, const ValidatedCall&) override { return DISP_E_MEMBERNOTFOUND; }
};

constexpr MemberEntry WorkbooksMembers[] = {
    {L"Add", WorkbooksAdd, MemberShape::Method, 0, 0, ArgKind::None},
    {L"Close", WorkbooksClose, MemberShape::Method, 0, 0, ArgKind::None},
};

class Workbooks : public DispatchObject {
 public:
  Workbooks() : DispatchObject(L"Workbooks", WorkbooksMembers, ARRAYSIZE(WorkbooksMembers)) {}

 protected:
  // Add opens a new workbook; Close has nothing of ours to close.
  HRESULT Act(DISPID DispId, const ValidatedCall& Call) override {
    return DispId == WorkbooksAdd ? HandOut<Workbook>(Call) : S_OK;
  }
};

constexpr MemberEntry AddInMembers[] = {
    {L"Installed", AddInInstalled, MemberShape::GetPut, 0, 0, ArgKind::Bool},
    {L"Title", AddInTitle, MemberShape::Get, 0, 0, ArgKind::None},
    {L"FullName", AddInFullName, MemberShape::Get, 0, 0, ArgKind::None},
};

// One entry of Excel's add-in list.
class AddIn : public DispatchObject {
 public:
  explicit AddIn(size_t EntryIndex)
      : DispatchObject(L"AddIn", AddInMembers, ARRAYSIZE(AddInMembers)), Index(EntryIndex) {}

 protected:
  // Reads and writes the shared list entry, so every AddIn object for the
  // same file sees the same state.
  HRESULT Act(DISPID DispId, const ValidatedCall& Call) override {
    AddInEntry& Entry = Server.AddInList[Index];
    switch (DispId) {
      case AddInInstalled:
        if (Call.Put) {
          Entry.Installed = V_BOOL(&Arg(Call, 0)) != VARIANT_FALSE;
          return S_OK;
        }
        return ReturnBool(Call, Entry.Installed ? VARIANT_TRUE : VARIANT_FALSE);
      case AddInTitle: return ReturnString(Call, Entry.Title);
      case AddInFullName: return ReturnString(Call, Entry.FullName);
    }
    return DISP_E_MEMBERNOTFOUND;
  }

 private:
  size_t Index;
};

// The list entry for a file, added on first sight. A new entry's title is the
// one the control file gives a file of that name (standing in for the title
// stored in the add-in file), or else the bare file name.
size_t AddInForPath(const std::wstring& Path) {
  for (size_t Index = 0; Index < Server.AddInList.size(); Index++) {
    if (SameText(Server.AddInList[Index].FullName, Path)) return Index;
  }
  const std::wstring Name = FileNameOf(Path);
  std::wstring Title = Name;
  for (const AddInEntry& Known : Server.AddInList) {
    if (SameText(FileNameOf(Known.FullName), Name)) Title = Known.Title;
  }
  Server.AddInList.push_back({Title, Path, false});
  return Server.AddInList.size() - 1;
}

constexpr MemberEntry AddInsMembers[] = {
    {L"Add", AddInsAdd, MemberShape::Method, 1, 1, ArgKind::Path},
};

class AddIns : public DispatchObject {
 public:
  AddIns() : DispatchObject(L"AddIns", AddInsMembers, ARRAYSIZE(AddInsMembers)) {}

 protected:
  // Add(path): the entry for that file, new or already listed.
  HRESULT Act(DISPID, const ValidatedCall& Call) override {
    return HandOut<AddIn>(Call, AddInForPath(StringArg(Arg(Call, 0))));
  }
};

constexpr MemberEntry ApplicationMembers[] = {
    {L"DisplayAlerts", AppDisplayAlerts, MemberShape::GetPut, 0, 0, ArgKind::Bool},
    {L"Workbooks", AppWorkbooks, MemberShape::Get, 0, 0, ArgKind::None},
    {L"AddIns", AppAddIns, MemberShape::Get, 0, 1, ArgKind::Title},
    {L"Quit", AppQuit, MemberShape::Method, 0, 0, ArgKind::None},
};

// The object the class factory hands out.
class Application : public DispatchObject {
 public:
  Application() : DispatchObject(L"Application", ApplicationMembers, ARRAYSIZE(ApplicationMembers)) {
    Server.LiveApplications++;
    if (Server.GraceTimer) {
      KillTimer(nullptr, Server.GraceTimer);
      Server.GraceTimer = 0;
    }
  }

  ~Application() override { Server.LiveApplications--; }

 protected:
  // DisplayAlerts is only remembered; nothing here ever shows an alert.
  HRESULT Act(DISPID DispId, const ValidatedCall& Call) override {
    switch (DispId) {
      case AppDisplayAlerts:
        if (Call.Put) {
          Server.DisplayAlerts = V_BOOL(&Arg(Call, 0));
          return S_OK;
        }
        return ReturnBool(Call, Server.DisplayAlerts);
      case AppWorkbooks: return HandOut<Workbooks>(Call);
      case AppAddIns: return GetAddIns(Call);
      case AppQuit: return Quit();
    }
    return DISP_E_MEMBERNOTFOUND;
  }

 private:
  // AddIns, or AddIns(title) for one entry of the list.
  HRESULT GetAddIns(const ValidatedCall& Call) {
    if (Call.Params->cArgs == 0) return HandOut<AddIns>(Call);
    const std::wstring Title = StringArg(Arg(Call, 0));
    for (size_t Index = 0; Index < Server.AddInList.size(); Index++) {
      if (SameText(Server.AddInList[Index].Title, Title)) return HandOut<AddIn>(Call, Index);
    }
    return ExcelException(Call, DISP_E_BADINDEX, L"Subscript out of range");
  }

  // Like Excel: stop taking new clients; the process ends once released.
  HRESULT Quit() {
    Server.QuitCalled = true;
    StopTakingClients();
    return S_OK;
  }
};

// An object that lives as long as the process, as the class factory and the message filter do:
// its reference count would decide nothing.
template <class Interface, const IID& InterfaceId>
class StaticObject : public Interface {
 public:
  STDMETHODIMP QueryInterface(REFIID Iid, void** Out) override {
    if (!Out) return E_POINTER;
    if (Iid == IID_IUnknown || Iid == InterfaceId) {
      *Out = static_cast<Interface*>(this);
      return S_OK;
    }
    *Out = nullptr;
    return E_NOINTERFACE;
  }

  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
};

class ClassFactory : public StaticObject<IClassFactory, IID_IClassFactory> {
 public:
  // One activation, one Application.
  STDMETHODIMP CreateInstance(IUnknown* Outer, REFIID Iid, void** Out) override {
    if (!Out) return E_POINTER;
    *Out = nullptr;
    if (Outer) return CLASS_E_NOAGGREGATION;
    Application* Created = new Application();
    const HRESULT Status = Created->QueryInterface(Iid, Out);
    Created->Release();
    return Status;
  }

  // A lock keeps the process alive like an object does.
  STDMETHODIMP LockServer(BOOL Lock) override {
    Server.Locks += Lock ? 1 : -1;
    if (!Lock) CheckForExit();
    return S_OK;
  }
};

ClassFactory TheClassFactory;

// Whether we run under Wine, whose COM ignores SERVERCALL_RETRYLATER.
bool RunningUnderWine() {
  const HMODULE Ntdll = GetModuleHandleW(L"ntdll.dll");
  return Ntdll && GetProcAddress(Ntdll, "wine_get_version");
}

// Turns away the first calls, as a busy Excel does. Excel answers
// SERVERCALL_RETRYLATER; Wine (8 and 10 alike) runs such a call anyway, but it
// does honour SERVERCALL_REJECTED, which reaches the client as
// RPC_E_CALL_REJECTED without its message filter being consulted, the same
// error a Windows client without a retrying message filter sees from a busy Excel.
class MessageFilter : public StaticObject<IMessageFilter, IID_IMessageFilter> {
 public:
  // Turns the call away while the control file says we are busy.
  STDMETHODIMP_(DWORD) HandleInComingCall(DWORD, HTASK, DWORD, LPINTERFACEINFO Info) override {
    // Only calls a client makes on purpose: activation and IDispatch.
    // Reference counting traffic must never be turned away.
    const bool Counted =
        Info && (Info->iid == IID_IDispatch || (Server.BusyAtActivation && Info->iid == IID_IClassFactory));
    if (!Counted || Server.BusyLeft <= 0) return SERVERCALL_ISHANDLED;
    Server.BusyLeft--;
    Journal({L"busy", std::to_wstring(++Server.BusyCount)});
    return RejectAs;
  }

  // The server makes no outgoing calls, so these two never matter.
  STDMETHODIMP_(DWORD) RetryRejectedCall(HTASK, DWORD, DWORD) override { return static_cast<DWORD>(-1); }

  STDMETHODIMP_(DWORD) MessagePending(HTASK, DWORD, DWORD) override { return PENDINGMSG_WAITDEFPROCESS; }

  DWORD RejectAs = SERVERCALL_RETRYLATER;
};

MessageFilter TheMessageFilter;

// Reads excel_standin.control beside the exe; a missing file means defaults.
void ReadControl() {
  std::string Bytes = ReadWholeFile(InFolder(Server.Folder, L"excel_standin.control"));
  if (Bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) Bytes.erase(0, 3);

  const std::wstring Text = FromUtf8(Bytes);
  size_t Start = 0;
  while (Start <= Text.size()) {
    size_t End = Text.find(L'\n', Start);
    if (End == std::wstring::npos) End = Text.size();
    const std::wstring Line = Trim(Text.substr(Start, End - Start));
    Start = End + 1;
    if (Line.empty() || Line[0] == L'#') continue;

    const size_t Space = Line.find_first_of(L" \t");
    const std::wstring Verb = Line.substr(0, Space);
    const std::wstring Rest = Space == std::wstring::npos ? L"" : Trim(Line.substr(Space));
    bool Understood = false;
    if (Verb == L"fail" && !Rest.empty()) {
      Server.Failing.push_back(Rest);
      Understood = true;
    } else if ((Verb == L"busy" || Verb == L"busycalls") && !Rest.empty()) {
      Server.BusyLeft = _wtoi(Rest.c_str());
      Server.BusyAtActivation = Verb == L"busy";
      Understood = true;
    } else if (Verb == L"englishonly" && !Rest.empty()) {
      // englishonly <user locale, hex>: an English Excel on a machine set to that locale.
      Server.EnglishOnly = true;
      Server.UserLocale = wcstoul(Rest.c_str(), nullptr, 16);
      Understood = Server.UserLocale != 0;
    } else if (Verb == L"addin") {
      const size_t FirstBar = Rest.find(L'|');
      const size_t SecondBar = FirstBar == std::wstring::npos ? FirstBar : Rest.find(L'|', FirstBar + 1);
      if (SecondBar != std::wstring::npos) {
        Server.AddInList.push_back({Rest.substr(0, FirstBar), Rest.substr(FirstBar + 1, SecondBar - FirstBar - 1),
                                    Trim(Rest.substr(SecondBar + 1)) == L"1"});
        Understood = true;
      }
    }
    // A typo in a test's control file must not pass unnoticed.
    if (!Understood) Journal({L"badcontrol", OneField(Line)});
  }
}

// HKLM\Software\Classes\CLSID\{our clsid}, as a path below HKLM.
std::wstring ClsidKeyPath() {
  wchar_t Clsid[40];
  StringFromGUID2(StandInClsid, Clsid, ARRAYSIZE(Clsid));
  return std::wstring(L"Software\\Classes\\CLSID\\") + Clsid;
}

// Creates a key below HKLM and sets its default value.
bool SetDefaultValue(const std::wstring& Path, const std::wstring& Value) {
  HKEY Key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, Path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &Key, nullptr) !=
      ERROR_SUCCESS)
    return false;
  const LONG Status = RegSetValueExW(Key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(Value.c_str()),
                                     static_cast<DWORD>((Value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(Key);
  return Status == ERROR_SUCCESS;
}

// /regserver: Excel.Application now activates this exe. HKLM, because Wine
// ignores HKCU\Software\Classes for COM activation.
int Register() {
  wchar_t Clsid[40];
  StringFromGUID2(StandInClsid, Clsid, ARRAYSIZE(Clsid));
  const std::wstring ProgIdKey = std::wstring(L"Software\\Classes\\") + ProgId;
  const std::wstring ClsidKey = ClsidKeyPath();
  const bool Ok = SetDefaultValue(ProgIdKey, ClassDescription) && SetDefaultValue(ProgIdKey + L"\\CLSID", Clsid) &&
                  SetDefaultValue(ClsidKey, ClassDescription) &&
                  SetDefaultValue(ClsidKey + L"\\LocalServer32", L"\"" + ModulePath() + L"\"") &&
                  SetDefaultValue(ClsidKey + L"\\ProgID", ProgId);
  return Ok ? 0 : 1;
}

// Deletes a key tree below HKLM; a key that is not there counts as deleted.
bool DeleteTree(const std::wstring& Path) {
  const LONG Status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, Path.c_str());
  return Status == ERROR_SUCCESS || Status == ERROR_FILE_NOT_FOUND;
}

// /unregserver: as if Excel were not installed. The ProgID is left alone if
// it belongs to some other server.
int Unregister() {
  const std::wstring ProgIdKey = std::wstring(L"Software\\Classes\\") + ProgId;
  wchar_t Current[64] = L"";
  DWORD Size = sizeof(Current);
  const LONG Status = RegGetValueW(HKEY_LOCAL_MACHINE, (ProgIdKey + L"\\CLSID").c_str(), nullptr, RRF_RT_REG_SZ,
                                   nullptr, Current, &Size);
  CLSID Registered;
  const bool Ours =
      Status != ERROR_SUCCESS || (SUCCEEDED(CLSIDFromString(Current, &Registered)) && Registered == StandInClsid);
  const bool Ok = (!Ours || DeleteTree(ProgIdKey)) && DeleteTree(ClsidKeyPath());
  return Ok ? 0 : 1;
}

// Lists the ids of objects nobody released, comma-separated.
std::wstring LeakedIds() {
  std::wstring Ids;
  for (const auto& Object : Server.Live) {
    if (!Ids.empty()) Ids += L",";
    Ids += std::to_wstring(Object.first);
  }
  return Ids;
}

// Runs as Excel does when COM starts it: one STA, one class object, messages.
int RunServer() {
  HRESULT Status = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(Status)) return 1;
  Journal({L"start", std::to_wstring(GetCurrentProcessId())});
  ReadControl();

  if (RunningUnderWine()) TheMessageFilter.RejectAs = SERVERCALL_REJECTED;
  CoRegisterMessageFilter(&TheMessageFilter, nullptr);
  Status = CoRegisterClassObject(StandInClsid, &TheClassFactory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                 &Server.ClassCookie);
  if (SUCCEEDED(Status)) {
    SetTimer(nullptr, 0, IdleStartMs, IdleStartTimerProc);
    SetTimer(nullptr, 0, LifetimeCapMs, LifetimeCapTimerProc);
    MSG Message;
    while (GetMessageW(&Message, nullptr, 0, 0) > 0) {
      TranslateMessage(&Message);
      DispatchMessageW(&Message);
    }
  }

  Server.Exiting = true;
  const std::wstring Leaked = LeakedIds();
  StopTakingClients();
  CoRegisterMessageFilter(nullptr, nullptr);
  CoUninitialize();
  Journal({L"exit", Server.QuitCalled ? L"quit=1" : L"quit=0", L"leaked=" + Leaked});
  return SUCCEEDED(Status) ? 0 : 1;
}

// Whether the command line is exactly this switch, given with / or -.
bool IsSwitch(const std::wstring& CommandLine, const wchar_t* Name) {
  return CommandLine.size() > 1 && (CommandLine[0] == L'/' || CommandLine[0] == L'-') &&
         SameText(CommandLine.substr(1), Name);
}

}  // namespace

// /regserver and /unregserver register and exit; anything else
// (COM passes -Embedding) runs the server.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR CommandLine, int) {
  Server.Folder = FolderOf(ModulePath());

  const std::wstring Command = Trim(CommandLine ? CommandLine : L"");
  if (IsSwitch(Command, L"regserver")) return Register();
  if (IsSwitch(Command, L"unregserver")) return Unregister();
  return RunServer();
}
