// A stand-in for Excel's automation server, used by the tests under Wine.
// It answers the late-bound calls the programs make, writes every call to a
// journal beside the exe and can be told to fail or be busy through a control
// file beside the exe. It registers itself as Excel.Application.

#include <windows.h>
#include <ole2.h>

#include <map>
#include <string>
#include <vector>

namespace {

// Our own class id, deliberately not Excel's, so a real Excel is never touched.
// {B7303CBB-893F-4E50-B0EB-A19076E490A5}
const CLSID CLSID_ExcelStandIn =
    {0xb7303cbb, 0x893f, 0x4e50, {0xb0, 0xeb, 0xa1, 0x90, 0x76, 0xe4, 0x90, 0xa5}};

const wchar_t kProgId[] = L"Excel.Application";
const wchar_t kDescription[] = L"Microsoft Excel Application";
const wchar_t kExcelSource[] = L"Microsoft Excel";
const SCODE kExcelError = static_cast<SCODE>(0x800A03EC);

// Timings of the server's own shutdown, in milliseconds.
const UINT kLeakGraceMs = 3000;      // after the last Application is released
const UINT kIdleStartMs = 30000;     // nobody ever asked for an object
const UINT kLifetimeCapMs = 120000;  // a client died holding references

struct AddInEntry {
    std::wstring title;
    std::wstring fullName;
    bool installed;
};

class DispatchObject;

// Everything one server process knows; a COM server has one of these.
struct ServerState {
    std::wstring folder;  // the exe's folder, with a trailing backslash
    std::vector<std::wstring> failing;  // "Type.Member" from the control file
    LONG busyLeft = 0;
    bool busyAtActivation = true;  // false: only IDispatch calls are turned away
    bool englishOnly = false;  // an English Excel without language packs: only LCID 1033
    LCID userLocale = 0;  // the machine's user (and system) locale, for the two defaults
    LONG busyCount = 0;
    std::vector<AddInEntry> addIns;
    VARIANT_BOOL displayAlerts = VARIANT_TRUE;
    int nextId = 1;
    std::map<int, DispatchObject*> live;
    int liveApplications = 0;
    bool handedOut = false;
    bool quit = false;
    bool exitRequested = false;
    bool exiting = false;  // the loop has ended; COM is tearing objects down
    DWORD classCookie = 0;
    LONG locks = 0;
    UINT_PTR graceTimer = 0;
};

ServerState g;

// ---------------------------------------------------------------------------
// Text helpers

// Converts UTF-16 to UTF-8.
std::string ToUtf8(const std::wstring& text)
{
    if (text.empty()) return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                   nullptr, 0, nullptr, nullptr);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size,
                        nullptr, nullptr);
    return out;
}

// Converts UTF-8 to UTF-16.
std::wstring FromUtf8(const std::string& text)
{
    if (text.empty()) return std::wstring();
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                   nullptr, 0);
    std::wstring out(size, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size);
    return out;
}

// Case-insensitive equality, the way Excel matches names and titles.
bool SameText(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// Formats a number as lower-case hex padded to the given width.
std::wstring Hex(unsigned long value, int width)
{
    std::wstring text(width, L'0');
    for (int i = width - 1; i >= 0; i--, value >>= 4) text[i] = L"0123456789abcdef"[value & 15];
    return text;
}

// Drops spaces and tabs at both ends.
std::wstring Trim(const std::wstring& text)
{
    size_t first = text.find_first_not_of(L" \t\r");
    if (first == std::wstring::npos) return std::wstring();
    size_t last = text.find_last_not_of(L" \t\r");
    return text.substr(first, last - first + 1);
}

// Keeps a value on its own journal field: tabs and line breaks become spaces.
std::wstring OneField(std::wstring text)
{
    for (wchar_t& c : text) {
        if (c == L'\t' || c == L'\r' || c == L'\n') c = L' ';
    }
    return text;
}

// The file name part of a path.
std::wstring FileNameOf(const std::wstring& path)
{
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// ---------------------------------------------------------------------------
// Journal

// Appends one event line; opened and closed per line so that servers started
// one after another, and tests deleting the file between cases, all get along.
void Journal(const std::vector<std::wstring>& fields)
{
    std::wstring line;
    for (size_t i = 0; i < fields.size(); i++) {
        if (i) line += L'\t';
        line += fields[i];
    }
    std::string bytes = ToUtf8(line) + "\n";
    std::wstring path = g.folder + L"excel_standin.journal";
    for (int attempt = 0; attempt < 50; attempt++) {
        HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
            CloseHandle(file);
            return;
        }
        if (GetLastError() != ERROR_SHARING_VIOLATION) return;
        Sleep(20);
    }
}

// Renders an argument as vt:value, looking through by-reference values.
std::wstring DescribeVariant(const VARIANT& v)
{
    std::wstring text = Hex(V_VT(&v), 4) + L":";
    switch (V_VT(&v)) {
    case VT_BOOL: return text + std::to_wstring(V_BOOL(&v));
    case VT_BOOL | VT_BYREF: return text + std::to_wstring(*V_BOOLREF(&v));
    case VT_BSTR: return text + OneField(V_BSTR(&v) ? V_BSTR(&v) : L"");
    case VT_BSTR | VT_BYREF:
        return text + OneField(*V_BSTRREF(&v) ? *V_BSTRREF(&v) : L"");
    case VT_I1: return text + std::to_wstring(V_I1(&v));
    case VT_UI1: return text + std::to_wstring(V_UI1(&v));
    case VT_I2: return text + std::to_wstring(V_I2(&v));
    case VT_UI2: return text + std::to_wstring(V_UI2(&v));
    case VT_I4: return text + std::to_wstring(V_I4(&v));
    case VT_UI4: return text + std::to_wstring(V_UI4(&v));
    case VT_INT: return text + std::to_wstring(V_INT(&v));
    case VT_UINT: return text + std::to_wstring(V_UINT(&v));
    case VT_I8: return text + std::to_wstring(V_I8(&v));
    case VT_UI8: return text + std::to_wstring(V_UI8(&v));
    case VT_I2 | VT_BYREF: return text + std::to_wstring(*V_I2REF(&v));
    case VT_I4 | VT_BYREF: return text + std::to_wstring(*V_I4REF(&v));
    case VT_VARIANT | VT_BYREF: return text + DescribeVariant(*V_VARIANTREF(&v));
    default: return text + L"?";
    }
}

// ---------------------------------------------------------------------------
// Lifetime

// Withdraws the class object, so the next activation starts a new process.
void StopTakingClients()
{
    if (g.classCookie) {
        CoRevokeClassObject(g.classCookie);
        g.classCookie = 0;
    }
}

// Stops taking new clients and ends the message loop; the exit line is
// written once COM has let go.
void RequestExit()
{
    if (g.exitRequested) return;
    g.exitRequested = true;
    StopTakingClients();
    PostQuitMessage(0);
}

// Fires kLeakGraceMs after the last Application went away: whatever is left
// is held by a proxy that will never release it.
void CALLBACK GraceTimerProc(HWND, UINT, UINT_PTR, DWORD)
{
    KillTimer(nullptr, g.graceTimer);
    g.graceTimer = 0;
    if (g.liveApplications == 0) RequestExit();
}

// Fires once early on: a server nobody connected to should not linger.
void CALLBACK IdleStartTimerProc(HWND, UINT, UINT_PTR id, DWORD)
{
    KillTimer(nullptr, id);
    if (!g.handedOut) RequestExit();
}

// Fires once at the very end of the allowed lifetime.
void CALLBACK LifetimeCapTimerProc(HWND, UINT, UINT_PTR id, DWORD)
{
    KillTimer(nullptr, id);
    RequestExit();
}

// Decides, after any object or lock went away, whether the process is done.
void CheckForExit()
{
    if (g.exitRequested) return;
    if (g.live.empty() && g.locks == 0 && g.handedOut) {
        RequestExit();
        return;
    }
    if (g.liveApplications == 0 && g.handedOut && !g.graceTimer) {
        g.graceTimer = SetTimer(nullptr, 0, kLeakGraceMs, GraceTimerProc);
    }
}

// ---------------------------------------------------------------------------
// Shared IDispatch plumbing

const LCID kEnglishUs = MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT);

// Whether Excel can serve a call made in this LCID. Excel loads its language resources by the
// LCID of every GetIDsOfNames and Invoke; an English Excel 2002 or 2003 without the matching
// language pack fails any LCID but 1033 with TYPE_E_INVDATAREAD, and reads LOCALE_USER_DEFAULT
// and LOCALE_SYSTEM_DEFAULT as the machine's own locale (KB 320369, KB 234675).
bool SpeaksLocale(LCID lcid)
{
    if (!g.englishOnly) return true;
    if (lcid == LOCALE_USER_DEFAULT || lcid == LOCALE_SYSTEM_DEFAULT) lcid = g.userLocale;
    return lcid == kEnglishUs;
}

enum class Shape { Method, Get, GetPut };
enum class ArgKind { None, Bool, Path, Title };

// One member of an object: how it may be invoked and with which arguments.
struct Member {
    const wchar_t* name;
    DISPID id;
    Shape shape;
    UINT minArgs;  // when read or called; a put always takes one value
    UINT maxArgs;
    ArgKind args;  // of the arguments, or for GetPut of the value put
};

// One validated Invoke, as handed to an object's member code.
struct Call {
    bool put;
    DISPPARAMS* params;
    VARIANT* result;
    EXCEPINFO* excep;
};

// Argument i in the client's order (rgvarg holds them last to first).
const VARIANT& Arg(const Call& call, UINT i)
{
    return call.params->rgvarg[call.params->cArgs - 1 - i];
}

// Whether a variant carries a string in one of the forms clients pass.
bool IsStringArg(const VARIANT& v, bool allowVariantRef)
{
    if (V_VT(&v) == VT_BSTR || V_VT(&v) == (VT_BSTR | VT_BYREF)) return true;
    return allowVariantRef && V_VT(&v) == (VT_VARIANT | VT_BYREF) &&
           IsStringArg(*V_VARIANTREF(&v), false);
}

// The text of a string argument already checked by IsStringArg.
std::wstring StringArg(const VARIANT& v)
{
    BSTR text = nullptr;
    if (V_VT(&v) == VT_BSTR) text = V_BSTR(&v);
    else if (V_VT(&v) == (VT_BSTR | VT_BYREF)) text = *V_BSTRREF(&v);
    else return StringArg(*V_VARIANTREF(&v));
    return text ? std::wstring(text, SysStringLen(text)) : std::wstring();
}

// Fills EXCEPINFO the way Excel does and returns DISP_E_EXCEPTION.
HRESULT ExcelException(const Call& call, SCODE scode, const std::wstring& description)
{
    if (call.excep) {
        ZeroMemory(call.excep, sizeof(*call.excep));
        call.excep->bstrSource = SysAllocString(kExcelSource);
        call.excep->bstrDescription = SysAllocString(description.c_str());
        call.excep->scode = scode;
    }
    return DISP_E_EXCEPTION;
}

// Creates an object for the client, only if it has somewhere to put it.
// (Wine's IDispatch proxy always asks for a result, whatever the client did.)
template <class Object, class... Args>
HRESULT HandOut(const Call& call, Args... args)
{
    if (call.result) {
        V_VT(call.result) = VT_DISPATCH;
        V_DISPATCH(call.result) = new Object(args...);
    }
    return S_OK;
}

// Puts a boolean into the result.
HRESULT ReturnBool(const Call& call, VARIANT_BOOL value)
{
    if (call.result) {
        V_VT(call.result) = VT_BOOL;
        V_BOOL(call.result) = value;
    }
    return S_OK;
}

// Puts a string into the result.
HRESULT ReturnString(const Call& call, const std::wstring& value)
{
    if (call.result) {
        V_VT(call.result) = VT_BSTR;
        V_BSTR(call.result) = SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
    }
    return S_OK;
}

// Checks flags, named arguments, count and types against a member's shape,
// with the error codes a real automation server would give.
HRESULT ValidateCall(const Member& member, WORD flags, const DISPPARAMS* params, UINT* argErr)
{
    const WORD putFlags = DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF;
    if (flags == DISPATCH_PROPERTYPUT) {
        if (member.shape != Shape::GetPut) return DISP_E_MEMBERNOTFOUND;
        if (params->cNamedArgs != 1 || params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
            return DISP_E_PARAMNOTFOUND;
        if (params->cArgs != 1) return DISP_E_BADPARAMCOUNT;
        if (member.args == ArgKind::Bool && V_VT(&params->rgvarg[0]) != VT_BOOL) {
            if (argErr) *argErr = 0;
            return DISP_E_TYPEMISMATCH;
        }
        return S_OK;
    }
    if (flags & putFlags) return DISP_E_MEMBERNOTFOUND;
    WORD wanted = member.shape == Shape::Method ? DISPATCH_METHOD : DISPATCH_PROPERTYGET;
    if (!(flags & wanted)) return DISP_E_MEMBERNOTFOUND;
    if (params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
    if (params->cArgs < member.minArgs || params->cArgs > member.maxArgs)
        return DISP_E_BADPARAMCOUNT;
    for (UINT i = 0; i < params->cArgs; i++) {
        if (!IsStringArg(params->rgvarg[i], member.args == ArgKind::Title)) {
            if (argErr) *argErr = i;
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
    DispatchObject(const wchar_t* type, const Member* members, UINT memberCount)
        : id_(g.nextId++), type_(type), members_(members), memberCount_(memberCount)
    {
        g.live[id_] = this;
        g.handedOut = true;
        Journal({L"new", std::to_wstring(id_), type_});
    }

    virtual ~DispatchObject() { g.live.erase(id_); }

    // Every object is a plain IDispatch.
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IDispatch) {
            *ppv = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }

    // Single-threaded apartment: no interlocking needed.
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }

    // The last release is journaled and may end the process.
    STDMETHODIMP_(ULONG) Release() override
    {
        ULONG refs = --refs_;
        if (refs == 0) {
            if (!g.exiting) Journal({L"release", std::to_wstring(id_), type_});
            delete this;
            CheckForExit();
        }
        return refs;
    }

    // No type information: clients must bind by name, as late binding does.
    STDMETHODIMP GetTypeInfoCount(UINT* count) override
    {
        if (!count) return E_POINTER;
        *count = 0;
        return S_OK;
    }

    // There is no type information to give.
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override
    {
        if (info) *info = nullptr;
        return DISP_E_BADINDEX;
    }

    // Resolves member names, remembering how the client spelled each one, and journals the
    // look-up with its LCID.
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                               DISPID* ids) override
    {
        if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
        if (!names || !ids) return E_POINTER;
        HRESULT hr = SpeaksLocale(lcid) ? S_OK : TYPE_E_INVDATAREAD;
        std::wstring asked;
        for (UINT i = 0; i < count; i++) {
            if (i) asked += L",";
            asked += OneField(names[i] ? names[i] : L"");
            // None of our members takes named parameters.
            const Member* member = i == 0 && hr == S_OK ? FindByName(names[i]) : nullptr;
            ids[i] = member ? member->id : DISPID_UNKNOWN;
            if (member) spelling_[member->id] = names[i];
            else if (hr == S_OK) hr = DISP_E_UNKNOWNNAME;
        }
        Journal({L"names", std::to_wstring(id_), type_, asked, Hex(lcid, 8),
                 Hex(static_cast<unsigned long>(hr), 8)});
        return hr;
    }

    // Validates, fails on request or runs the member, and journals the outcome.
    STDMETHODIMP Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* excep, UINT* argErr) override
    {
        static DISPPARAMS noParams = {nullptr, nullptr, 0, 0};
        if (!params) params = &noParams;
        if (result) VariantInit(result);
        const Member* member = FindById(dispid);
        HRESULT hr;
        if (riid != IID_NULL) hr = DISP_E_UNKNOWNINTERFACE;
        else if (!SpeaksLocale(lcid)) hr = TYPE_E_INVDATAREAD;
        else if (!member) hr = DISP_E_MEMBERNOTFOUND;
        else hr = ValidateCall(*member, flags, params, argErr);

        Call call = {flags == DISPATCH_PROPERTYPUT, params, result, excep};
        if (SUCCEEDED(hr) && IsFailing(*member)) hr = InjectedFailure(*member, call);
        else if (SUCCEEDED(hr)) hr = Act(dispid, call);

        JournalInvoke(member, dispid, lcid, flags, params, hr, excep);
        return hr;
    }

protected:
    // Carries out a member whose call has already been validated.
    virtual HRESULT Act(DISPID dispid, const Call& call) = 0;

private:
    // The member with this name, ignoring case as Excel does.
    const Member* FindByName(const wchar_t* name) const
    {
        for (UINT i = 0; name && i < memberCount_; i++) {
            if (SameText(name, members_[i].name)) return &members_[i];
        }
        return nullptr;
    }

    // The member with this DISPID.
    const Member* FindById(DISPID dispid) const
    {
        for (UINT i = 0; i < memberCount_; i++) {
            if (members_[i].id == dispid) return &members_[i];
        }
        return nullptr;
    }

    // Whether the control file asked this member to fail.
    bool IsFailing(const Member& member) const
    {
        std::wstring name = std::wstring(type_) + L"." + member.name;
        for (const std::wstring& entry : g.failing) {
            if (SameText(entry, name)) return true;
        }
        return false;
    }

    // Fails the member with Excel's generic error and Excel-like wording.
    HRESULT InjectedFailure(const Member& member, const Call& call) const
    {
        std::wstring description;
        if (member.shape == Shape::Method)
            description = std::wstring(member.name) + L" method of " + type_ + L" class failed";
        else
            description = std::wstring(call.put ? L"Unable to set the " : L"Unable to get the ") +
                          member.name + L" property of the " + type_ + L" class";
        return ExcelException(call, kExcelError, description);
    }

    // Writes the invoke line: the client's spelling, flags, named ids, LCID, result (with the
    // exception's own code after a slash), arguments.
    void JournalInvoke(const Member* member, DISPID dispid, LCID lcid, WORD flags,
                       const DISPPARAMS* params, HRESULT hr, const EXCEPINFO* excep) const
    {
        std::wstring name;
        auto spelled = spelling_.find(dispid);
        if (spelled != spelling_.end()) name = OneField(spelled->second);
        else if (member) name = member->name;
        else name = L"#" + std::to_wstring(dispid);

        std::wstring named;
        for (UINT i = 0; i < params->cNamedArgs; i++) {
            if (i) named += L",";
            named += std::to_wstring(params->rgdispidNamedArgs[i]);
        }
        std::wstring result = Hex(static_cast<unsigned long>(hr), 8);
        if (hr == DISP_E_EXCEPTION && excep)
            result += L"/" + Hex(static_cast<unsigned long>(excep->scode), 8);
        std::vector<std::wstring> fields = {L"invoke", std::to_wstring(id_), type_, name,
                                            std::to_wstring(flags), named, Hex(lcid, 8), result};
        for (UINT i = params->cArgs; i > 0; i--) fields.push_back(DescribeVariant(params->rgvarg[i - 1]));
        Journal(fields);
    }

    ULONG refs_ = 1;
    int id_;
    const wchar_t* type_;
    const Member* members_;
    UINT memberCount_;
    std::map<DISPID, std::wstring> spelling_;
};

// ---------------------------------------------------------------------------
// The objects

// DISPIDs are unique across all types, so a DISPID looked up on one object
// and used on another fails instead of silently hitting a different member.
enum : DISPID {
    kAppDisplayAlerts = 101,
    kAppWorkbooks,
    kAppAddIns,
    kAppQuit,
    kWorkbooksAdd = 201,
    kWorkbooksClose,
    kAddInsAdd = 301,
    kAddInInstalled = 401,
    kAddInTitle,
    kAddInFullName,
};

// A workbook; nothing is ever called on it.
class Workbook : public DispatchObject {
public:
    Workbook() : DispatchObject(L"Workbook", nullptr, 0) {}

protected:
    // Never reached: there are no members to validate a call against.
    HRESULT Act(DISPID, const Call&) override { return DISP_E_MEMBERNOTFOUND; }
};

const Member kWorkbooksMembers[] = {
    {L"Add", kWorkbooksAdd, Shape::Method, 0, 0, ArgKind::None},
    {L"Close", kWorkbooksClose, Shape::Method, 0, 0, ArgKind::None},
};

// Application.Workbooks.
class Workbooks : public DispatchObject {
public:
    Workbooks() : DispatchObject(L"Workbooks", kWorkbooksMembers, ARRAYSIZE(kWorkbooksMembers)) {}

protected:
    // Add opens a new workbook; Close has nothing of ours to close.
    HRESULT Act(DISPID dispid, const Call& call) override
    {
        return dispid == kWorkbooksAdd ? HandOut<Workbook>(call) : S_OK;
    }
};

const Member kAddInMembers[] = {
    {L"Installed", kAddInInstalled, Shape::GetPut, 0, 0, ArgKind::Bool},
    {L"Title", kAddInTitle, Shape::Get, 0, 0, ArgKind::None},
    {L"FullName", kAddInFullName, Shape::Get, 0, 0, ArgKind::None},
};

// One entry of Excel's add-in list.
class AddIn : public DispatchObject {
public:
    explicit AddIn(size_t index)
        : DispatchObject(L"AddIn", kAddInMembers, ARRAYSIZE(kAddInMembers)), index_(index) {}

protected:
    // Reads and writes the shared list entry, so every AddIn object for the
    // same file sees the same state.
    HRESULT Act(DISPID dispid, const Call& call) override
    {
        AddInEntry& entry = g.addIns[index_];
        switch (dispid) {
        case kAddInInstalled:
            if (call.put) {
                entry.installed = V_BOOL(&Arg(call, 0)) != VARIANT_FALSE;
                return S_OK;
            }
            return ReturnBool(call, entry.installed ? VARIANT_TRUE : VARIANT_FALSE);
        case kAddInTitle: return ReturnString(call, entry.title);
        case kAddInFullName: return ReturnString(call, entry.fullName);
        }
        return DISP_E_MEMBERNOTFOUND;
    }

private:
    size_t index_;
};

// The list entry for a file, added on first sight. A new entry's title is the
// one the control file gives a file of that name (standing in for the title
// stored in the add-in file), or else the bare file name.
size_t AddInForPath(const std::wstring& path)
{
    for (size_t i = 0; i < g.addIns.size(); i++) {
        if (SameText(g.addIns[i].fullName, path)) return i;
    }
    std::wstring name = FileNameOf(path);
    std::wstring title = name;
    for (const AddInEntry& known : g.addIns) {
        if (SameText(FileNameOf(known.fullName), name)) title = known.title;
    }
    g.addIns.push_back({title, path, false});
    return g.addIns.size() - 1;
}

const Member kAddInsMembers[] = {
    {L"Add", kAddInsAdd, Shape::Method, 1, 1, ArgKind::Path},
};

// Application.AddIns.
class AddIns : public DispatchObject {
public:
    AddIns() : DispatchObject(L"AddIns", kAddInsMembers, ARRAYSIZE(kAddInsMembers)) {}

protected:
    // Add(path): the entry for that file, new or already listed.
    HRESULT Act(DISPID, const Call& call) override
    {
        return HandOut<AddIn>(call, AddInForPath(StringArg(Arg(call, 0))));
    }
};

const Member kApplicationMembers[] = {
    {L"DisplayAlerts", kAppDisplayAlerts, Shape::GetPut, 0, 0, ArgKind::Bool},
    {L"Workbooks", kAppWorkbooks, Shape::Get, 0, 0, ArgKind::None},
    {L"AddIns", kAppAddIns, Shape::Get, 0, 1, ArgKind::Title},
    {L"Quit", kAppQuit, Shape::Method, 0, 0, ArgKind::None},
};

// The object the class factory hands out.
class Application : public DispatchObject {
public:
    Application()
        : DispatchObject(L"Application", kApplicationMembers, ARRAYSIZE(kApplicationMembers))
    {
        g.liveApplications++;
        if (g.graceTimer) {
            KillTimer(nullptr, g.graceTimer);
            g.graceTimer = 0;
        }
    }

    ~Application() override { g.liveApplications--; }

protected:
    // DisplayAlerts is only remembered; nothing here ever shows an alert.
    HRESULT Act(DISPID dispid, const Call& call) override
    {
        switch (dispid) {
        case kAppDisplayAlerts:
            if (call.put) {
                g.displayAlerts = V_BOOL(&Arg(call, 0));
                return S_OK;
            }
            return ReturnBool(call, g.displayAlerts);
        case kAppWorkbooks: return HandOut<Workbooks>(call);
        case kAppAddIns: return GetAddIns(call);
        case kAppQuit: return Quit();
        }
        return DISP_E_MEMBERNOTFOUND;
    }

private:
    // AddIns, or AddIns(title) for one entry of the list.
    HRESULT GetAddIns(const Call& call)
    {
        if (call.params->cArgs == 0) return HandOut<AddIns>(call);
        std::wstring title = StringArg(Arg(call, 0));
        for (size_t i = 0; i < g.addIns.size(); i++) {
            if (SameText(g.addIns[i].title, title)) return HandOut<AddIn>(call, i);
        }
        return ExcelException(call, DISP_E_BADINDEX, L"Subscript out of range");
    }

    // Like Excel: stop taking new clients; the process ends once released.
    HRESULT Quit()
    {
        g.quit = true;
        StopTakingClients();
        return S_OK;
    }
};

// ---------------------------------------------------------------------------
// Class factory and message filter

// Hands out a new Application per activation.
class ClassFactory : public IClassFactory {
public:
    // The factory is static; its reference count does not matter.
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }

    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    // One activation, one Application.
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        Application* app = new Application();
        HRESULT hr = app->QueryInterface(riid, ppv);
        app->Release();
        return hr;
    }

    // A lock keeps the process alive like an object does.
    STDMETHODIMP LockServer(BOOL lock) override
    {
        g.locks += lock ? 1 : -1;
        if (!lock) CheckForExit();
        return S_OK;
    }
};

ClassFactory g_factory;

// Whether we run under Wine, whose COM ignores SERVERCALL_RETRYLATER.
bool RunningUnderWine()
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// Turns away the first calls, as a busy Excel does. Excel answers
// SERVERCALL_RETRYLATER; Wine (8 and 10 alike) runs such a call anyway, but it
// does honour SERVERCALL_REJECTED, which reaches the client as
// RPC_E_CALL_REJECTED without its message filter being consulted, the same
// error a Windows client without a retrying message filter sees from a busy Excel.
class MessageFilter : public IMessageFilter {
public:
    // The filter is static; its reference count does not matter.
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IMessageFilter) {
            *ppv = static_cast<IMessageFilter*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }

    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    // Turns the call away while the control file says we are busy.
    STDMETHODIMP_(DWORD) HandleInComingCall(DWORD, HTASK, DWORD, LPINTERFACEINFO info) override
    {
        // Only calls a client makes on purpose: activation and IDispatch.
        // Reference counting traffic must never be turned away.
        bool counted = info && (info->iid == IID_IDispatch ||
                                (g.busyAtActivation && info->iid == IID_IClassFactory));
        if (!counted || g.busyLeft <= 0) return SERVERCALL_ISHANDLED;
        g.busyLeft--;
        Journal({L"busy", std::to_wstring(++g.busyCount)});
        return rejectAs;
    }

    // The server makes no outgoing calls, so these two never matter.
    STDMETHODIMP_(DWORD) RetryRejectedCall(HTASK, DWORD, DWORD) override { return static_cast<DWORD>(-1); }

    STDMETHODIMP_(DWORD) MessagePending(HTASK, DWORD, DWORD) override
    {
        return PENDINGMSG_WAITDEFPROCESS;
    }

    DWORD rejectAs = SERVERCALL_RETRYLATER;
};

MessageFilter g_filter;

// ---------------------------------------------------------------------------
// Control file

// Reads excel_standin.control beside the exe; a missing file means defaults.
void ReadControl()
{
    std::wstring path = g.folder + L"excel_standin.control";
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    std::string bytes;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read) bytes.append(buffer, read);
    CloseHandle(file);
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);

    std::wstring text = FromUtf8(bytes);
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = Trim(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line[0] == L'#') continue;

        size_t space = line.find_first_of(L" \t");
        std::wstring verb = line.substr(0, space);
        std::wstring rest = space == std::wstring::npos ? L"" : Trim(line.substr(space));
        bool understood = false;
        if (verb == L"fail" && !rest.empty()) {
            g.failing.push_back(rest);
            understood = true;
        } else if ((verb == L"busy" || verb == L"busycalls") && !rest.empty()) {
            g.busyLeft = _wtoi(rest.c_str());
            g.busyAtActivation = verb == L"busy";
            understood = true;
        } else if (verb == L"englishonly" && !rest.empty()) {
            // englishonly <user locale, hex>: an English Excel on a machine set to that locale.
            g.englishOnly = true;
            g.userLocale = wcstoul(rest.c_str(), nullptr, 16);
            understood = g.userLocale != 0;
        } else if (verb == L"addin") {
            size_t bar1 = rest.find(L'|');
            size_t bar2 = bar1 == std::wstring::npos ? bar1 : rest.find(L'|', bar1 + 1);
            if (bar2 != std::wstring::npos) {
                g.addIns.push_back({rest.substr(0, bar1), rest.substr(bar1 + 1, bar2 - bar1 - 1),
                                    Trim(rest.substr(bar2 + 1)) == L"1"});
                understood = true;
            }
        }
        // A typo in a test's control file must not pass unnoticed.
        if (!understood) Journal({L"badcontrol", OneField(line)});
    }
}

// ---------------------------------------------------------------------------
// Registration

// HKLM\Software\Classes\CLSID\{our clsid}, as a path below HKLM.
std::wstring ClsidKeyPath()
{
    wchar_t clsid[40];
    StringFromGUID2(CLSID_ExcelStandIn, clsid, ARRAYSIZE(clsid));
    return std::wstring(L"Software\\Classes\\CLSID\\") + clsid;
}

// Creates a key below HKLM and sets its default value.
bool SetDefaultValue(const std::wstring& path, const std::wstring& value)
{
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return false;
    LONG status = RegSetValueExW(key, nullptr, 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

// /regserver: Excel.Application now activates this exe. HKLM, because Wine
// ignores HKCU\Software\Classes for COM activation.
int Register()
{
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, ARRAYSIZE(exe));
    wchar_t clsid[40];
    StringFromGUID2(CLSID_ExcelStandIn, clsid, ARRAYSIZE(clsid));
    std::wstring progIdKey = std::wstring(L"Software\\Classes\\") + kProgId;
    std::wstring clsidKey = ClsidKeyPath();
    bool ok = SetDefaultValue(progIdKey, kDescription) &&
              SetDefaultValue(progIdKey + L"\\CLSID", clsid) &&
              SetDefaultValue(clsidKey, kDescription) &&
              SetDefaultValue(clsidKey + L"\\LocalServer32", std::wstring(L"\"") + exe + L"\"") &&
              SetDefaultValue(clsidKey + L"\\ProgID", kProgId);
    return ok ? 0 : 1;
}

// Deletes a key tree below HKLM; a key that is not there counts as deleted.
bool DeleteTree(const std::wstring& path)
{
    LONG status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str());
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

// /unregserver: as if Excel were not installed. The ProgID is left alone if
// it belongs to some other server.
int Unregister()
{
    std::wstring progIdKey = std::wstring(L"Software\\Classes\\") + kProgId;
    wchar_t current[64] = L"";
    DWORD size = sizeof(current);
    LONG status = RegGetValueW(HKEY_LOCAL_MACHINE, (progIdKey + L"\\CLSID").c_str(), nullptr,
                               RRF_RT_REG_SZ, nullptr, current, &size);
    CLSID registered;
    bool ours = status != ERROR_SUCCESS ||
                (SUCCEEDED(CLSIDFromString(current, &registered)) &&
                 registered == CLSID_ExcelStandIn);
    bool ok = (!ours || DeleteTree(progIdKey)) && DeleteTree(ClsidKeyPath());
    return ok ? 0 : 1;
}

// ---------------------------------------------------------------------------
// Server

// Lists the ids of objects nobody released, comma-separated.
std::wstring LeakedIds()
{
    std::wstring ids;
    for (const auto& object : g.live) {
        if (!ids.empty()) ids += L",";
        ids += std::to_wstring(object.first);
    }
    return ids;
}

// Runs as Excel does when COM starts it: one STA, one class object, messages.
int RunServer()
{
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(hr)) return 1;
    Journal({L"start", std::to_wstring(GetCurrentProcessId())});
    ReadControl();

    if (RunningUnderWine()) g_filter.rejectAs = SERVERCALL_REJECTED;
    CoRegisterMessageFilter(&g_filter, nullptr);
    hr = CoRegisterClassObject(CLSID_ExcelStandIn, &g_factory, CLSCTX_LOCAL_SERVER,
                               REGCLS_MULTIPLEUSE, &g.classCookie);
    if (SUCCEEDED(hr)) {
        SetTimer(nullptr, 0, kIdleStartMs, IdleStartTimerProc);
        SetTimer(nullptr, 0, kLifetimeCapMs, LifetimeCapTimerProc);
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }

    g.exiting = true;
    std::wstring leaked = LeakedIds();
    StopTakingClients();
    CoRegisterMessageFilter(nullptr, nullptr);
    CoUninitialize();
    Journal({L"exit", g.quit ? L"quit=1" : L"quit=0", L"leaked=" + leaked});
    return SUCCEEDED(hr) ? 0 : 1;
}

// Whether the command line is exactly this switch, given with / or -.
bool IsSwitch(const std::wstring& commandLine, const wchar_t* name)
{
    return commandLine.size() > 1 && (commandLine[0] == L'/' || commandLine[0] == L'-') &&
           SameText(commandLine.substr(1), name);
}

}  // namespace

// /regserver and /unregserver register and exit; anything else
// (COM passes -Embedding) runs the server.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int)
{
    wchar_t exe[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, exe, ARRAYSIZE(exe));
    g.folder.assign(exe, length);
    g.folder.erase(g.folder.find_last_of(L'\\') + 1);

    std::wstring command = Trim(commandLine ? commandLine : L"");
    if (IsSwitch(command, L"regserver")) return Register();
    if (IsSwitch(command, L"unregserver")) return Unregister();
    return RunServer();
}
