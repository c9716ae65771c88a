#include "Win32Platform.h"

#include <windows.h>
#include <shellapi.h>
#include <sddl.h>
#include <winnetwk.h>

#include "../../NoRTLStream/StubMemory.h"

namespace {

const wchar_t* W(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
wchar_t* W(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }
const char16_t* U(const wchar_t* text) { return reinterpret_cast<const char16_t*>(text); }

HANDLE H(Handle h) { return static_cast<HANDLE>(h); }

// Copies at most capacity units, stopping at the first NUL.
void AppendBounded(StubString& to, const wchar_t* from, int32_t capacity) {
    int32_t n = 0;
    while (n < capacity && from[n]) ++n;
    to.Append(U(from), n);
}

template <typename Function>
Function LookUp(HMODULE module, const char* name) {
    return module ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)))
                  : nullptr;
}

template <typename Function>
Function As(void* entry) {
    return reinterpret_cast<Function>(entry);
}

// Names in single strings, found by their number: a call passes a small
// number instead of the address of a name, and every address in the image
// is one more base relocation in every package.  In the order of Entry and
// SystemLibrary.
const char kEntryNames[] =
    "MessageBoxW\0GetProcessWindowStation\0GetUserObjectInformationW\0"
    "RegOpenKeyExW\0RegQueryValueExW\0RegCloseKey\0AllocateAndInitializeSid\0FreeSid\0"
    "OpenProcessToken\0GetTokenInformation\0ConvertSidToStringSidW\0"
    "ConvertStringSecurityDescriptorToSecurityDescriptorW\0"
    "SystemFunction036\0"  // RtlGenRandom
    "ShellExecuteExW\0"
    "WNetGetUniversalNameW";
const char kLibraryNames[] = "user32.dll\0advapi32.dll\0shell32.dll\0mpr.dll";

const char* NthName(const char* names, unsigned n) {
    while (n--)
        while (*names++) {
        }
    return names;
}

}  // namespace

void* Win32Platform::SystemEntry(Entry entry) {
    const SystemLibrary library = entry < kRegOpenKeyExW     ? kUser32
                                  : entry < kShellExecuteExW ? kAdvapi32
                                  : entry < kWNetGetUniversalNameW ? kShell32
                                                                   : kMpr;
    void*& module = modules_[library];
    if (!module) module = LoadSystemLibrary(NthName(kLibraryNames, library), search_);
    return reinterpret_cast<void*>(LookUp<FARPROC>(static_cast<HMODULE>(module), NthName(kEntryNames, entry)));
}

void Win32Platform::ModuleFileName(StubString& path) {
    wchar_t buffer[261];
    const DWORD n = GetModuleFileNameW(nullptr, buffer, 261);
    path.Clear();
    AppendBounded(path, buffer, static_cast<int32_t>(n < 261 ? n : 261));
}

const char16_t* Win32Platform::CommandLine() { return U(GetCommandLineW()); }

Handle Win32Platform::OpenForReading(const char16_t* path) {
    return CreateFileW(W(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
}

Handle Win32Platform::CreateForWriting(const char16_t* path) {
    // CREATE_NEW: whatever is already at that name, a file or a link
    // someone placed there, is never opened or truncated.
    return CreateFileW(W(path), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

Handle Win32Platform::HoldAgainstChanges(const char16_t* path) {
    // Read access shared for reading only: nobody may open it to write or
    // delete while held, but the loader may still map it for execution.
    return CreateFileW(W(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

void Win32Platform::SeekTo(Handle file, uint32_t offset) {
    // With a zero high part the offset counts as unsigned: offsets of 2 GiB
    // and more land past the end (reads come back short) instead of failing
    // and leaving the file wherever it was.
    LONG high = 0;
    SetFilePointer(H(file), static_cast<LONG>(offset), &high, FILE_BEGIN);
}

uint32_t Win32Platform::ReadFrom(Handle file, void* destination, uint32_t count) {
    // Only the count decides; the success flag is not examined.
    DWORD done = 0;
    ReadFile(H(file), destination, count, &done, nullptr);
    return done;
}

uint32_t Win32Platform::WriteTo(Handle file, const void* source, uint32_t count) {
    DWORD done = 0;
    WriteFile(H(file), source, count, &done, nullptr);
    return done;
}

uint64_t Win32Platform::FileSize(Handle file) {
    DWORD high = 0;
    const DWORD low = GetFileSize(H(file), &high);
    return static_cast<uint64_t>(high) << 32 | low;
}

void Win32Platform::CloseHandle(Handle handle) { ::CloseHandle(H(handle)); }

void Win32Platform::RemoveFile(const char16_t* path) { DeleteFileW(W(path)); }

bool Win32Platform::Exists(const char16_t* path) {
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(W(path), &data);
    if (search == INVALID_HANDLE_VALUE) return false;
    FindClose(search);
    return true;
}

void Win32Platform::TempPath(StubString& folder) {
    // GetTempPath2W (Windows 11, and 10 with 2022's updates) gives SYSTEM
    // C:\Windows\SystemTemp, which only SYSTEM and administrators can
    // enter, and every other caller what GetTempPathW gives.  Both return at
    // most MAX_PATH + 1 units; a smaller buffer would leave it empty.
    using GetTempPathFn = DWORD(WINAPI*)(DWORD, LPWSTR);
    HMODULE kernel32 = GetModuleHandleW(L"kernel32");
    GetTempPathFn getTempPath = LookUp<GetTempPathFn>(kernel32, "GetTempPath2W");
    if (!getTempPath) getTempPath = &GetTempPathW;
    wchar_t buffer[MAX_PATH + 1] = {};
    getTempPath(MAX_PATH + 1, buffer);
    folder.Clear();
    AppendBounded(folder, buffer, MAX_PATH + 1);
}

bool Win32Platform::CreateFolder(const char16_t* path, const char16_t* securityDescriptor) {
    using ConvertFn = BOOL(WINAPI*)(LPCWSTR, DWORD, PSECURITY_DESCRIPTOR*, PULONG);
    auto convert = As<ConvertFn>(SystemEntry(kConvertStringSecurityDescriptorToSecurityDescriptorW));
    SECURITY_ATTRIBUTES attributes = {};
    attributes.nLength = sizeof attributes;
    // Given at creation, never set afterwards: there is no moment in which
    // the folder exists with the permissions of the folder above it.
    if (!convert || !convert(W(securityDescriptor), SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr))
        return false;
    // On a file system without permissions (FAT32) the descriptor is
    // ignored and the folder is a plain one.
    const bool created = CreateDirectoryW(W(path), &attributes) != FALSE;
    LocalFree(attributes.lpSecurityDescriptor);
    return created;
}

void Win32Platform::RemoveFolder(const char16_t* path) { RemoveDirectoryW(W(path)); }

bool Win32Platform::GetVersion(VersionRecord& version) {
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof info;  // 276
    version = VersionRecord{};
    if (!GetVersionExW(&info)) return false;
    version.major = info.dwMajorVersion;
    version.minor = info.dwMinorVersion;
    version.platform = info.dwPlatformId;
    return true;
}

bool Win32Platform::GetServicePackMajor(uint32_t& servicePack) {
    OSVERSIONINFOEXW info = {};
    info.dwOSVersionInfoSize = sizeof info;  // 284
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info))) return false;
    servicePack = info.wServicePackMajor;
    return true;
}

bool Win32Platform::OpenVersionKey() {
    auto regOpenKeyEx = As<LONG(WINAPI*)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY)>(SystemEntry(kRegOpenKeyExW));
    HKEY key = nullptr;
    if (!regOpenKeyEx ||
        regOpenKeyEx(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows NT\\CurrentVersion", 0, KEY_READ,
                     &key) != ERROR_SUCCESS)
        return false;
    versionKey_ = key;
    return true;
}

void Win32Platform::ReadVersionValue(const char16_t* name, RegistryReading& reading) {
    reading = RegistryReading{};
    DWORD size = sizeof reading.bytes;
    auto regQueryValueEx = As<LONG(WINAPI*)(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD)>(
        SystemEntry(kRegQueryValueExW));
    if (!regQueryValueEx) return;
    const LONG result = regQueryValueEx(static_cast<HKEY>(versionKey_), W(name), nullptr, nullptr,
                                        reading.bytes, &size);
    reading.readable = result == ERROR_SUCCESS;
    reading.byteCount = reading.readable ? size : 0;
}

void Win32Platform::CloseVersionKey() {
    if (auto regCloseKey = As<LONG(WINAPI*)(HKEY)>(SystemEntry(kRegCloseKey)))
        regCloseKey(static_cast<HKEY>(versionKey_));
    versionKey_ = nullptr;
}

bool Win32Platform::IsRunningUnderWow64() {
#ifdef _WIN64
    // A 64-bit launcher runs only on 64-bit Windows: answer as the 32-bit
    // launcher would there.
    return true;
#else
    using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
    auto isWow64Process = LookUp<IsWow64ProcessFn>(GetModuleHandleW(L"kernel32"), "IsWow64Process");
    if (!isWow64Process) return false;
    BOOL flag = FALSE;
    if (!isWow64Process(GetCurrentProcess(), &flag)) return false;
    return flag != FALSE;
#endif
}

bool Win32Platform::IsAdministrator() {
    using AllocateFn = BOOL(WINAPI*)(PSID_IDENTIFIER_AUTHORITY, BYTE, DWORD, DWORD, DWORD, DWORD, DWORD,
                                     DWORD, DWORD, DWORD, PSID*);
    auto allocateAndInitializeSid = As<AllocateFn>(SystemEntry(kAllocateAndInitializeSid));
    auto freeSid = As<PVOID(WINAPI*)(PSID)>(SystemEntry(kFreeSid));
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!allocateAndInitializeSid || !freeSid ||
        !allocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0,
                                  0, 0, 0, 0, &administrators))
        return false;
    using CheckTokenMembershipFn = BOOL(WINAPI*)(HANDLE, PSID, PBOOL);
    if (!checkTokenMembershipLooked_) {
        checkTokenMembershipLooked_ = true;
        checkTokenMembership_ = reinterpret_cast<void*>(
            LookUp<CheckTokenMembershipFn>(GetModuleHandleW(L"advapi32.dll"), "CheckTokenMembership"));
    }
    BOOL member = FALSE;
    bool answer = false;
    if (auto check = reinterpret_cast<CheckTokenMembershipFn>(checkTokenMembership_))
        answer = check(nullptr, administrators, &member) && member;
    freeSid(administrators);
    return answer;
}

bool Win32Platform::UserSid(StubString& sid) {
    using OpenTokenFn = BOOL(WINAPI*)(HANDLE, DWORD, PHANDLE);
    using TokenInformationFn = BOOL(WINAPI*)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);
    using SidToTextFn = BOOL(WINAPI*)(PSID, LPWSTR*);
    auto openToken = As<OpenTokenFn>(SystemEntry(kOpenProcessToken));
    auto tokenInformation = As<TokenInformationFn>(SystemEntry(kGetTokenInformation));
    auto sidToText = As<SidToTextFn>(SystemEntry(kConvertSidToStringSidW));
    HANDLE token = nullptr;
    if (!openToken || !tokenInformation || !sidToText || !openToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    // TOKEN_USER and its SID: a SID has at most 15 sub-authorities (68 bytes).
    union {
        TOKEN_USER user;
        uint8_t bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } information;
    DWORD size = 0;
    wchar_t* text = nullptr;
    const bool ok = tokenInformation(token, TokenUser, &information, sizeof information, &size) &&
                    sidToText(information.user.User.Sid, &text);
    ::CloseHandle(token);
    if (ok) {
        sid.Clear();
        sid.Append(U(text));
        LocalFree(text);
    }
    return ok;
}

bool Win32Platform::RandomBytes(void* buffer, uint32_t count) {
    // RtlGenRandom, exported by advapi32 as SystemFunction036: the system's
    // generator, without loading the CryptoAPI.
    using RtlGenRandomFn = BOOLEAN(WINAPI*)(PVOID, ULONG);
    auto generate = As<RtlGenRandomFn>(SystemEntry(kRtlGenRandom));
    return generate && generate(buffer, count);
}

bool Win32Platform::HasVisibleWindowStation() {
    using GetStationFn = HWINSTA(WINAPI*)();
    using GetInformationFn = BOOL(WINAPI*)(HANDLE, int, PVOID, DWORD, LPDWORD);
    auto getStation = As<GetStationFn>(SystemEntry(kGetProcessWindowStation));
    auto getInformation = As<GetInformationFn>(SystemEntry(kGetUserObjectInformationW));
    // What cannot be asked counts as visible: the message box is shown, as
    // it always was.
    if (!getStation || !getInformation) return true;
    HWINSTA station = getStation();
    USEROBJECTFLAGS flags = {};
    DWORD size = 0;
    if (!station || !getInformation(station, UOI_FLAGS, &flags, sizeof flags, &size)) return true;
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

bool Win32Platform::UniversalName(const char16_t* path, StubString& universal) {
    // mpr.dll is not one of the libraries Windows always takes from its own
    // folder, so it is never imported: a planted copy next to a downloaded
    // package would run.  It is loaded here by full system path instead.
    using WNetGetUniversalNameFn = DWORD(WINAPI*)(LPCWSTR, DWORD, LPVOID, LPDWORD);
#ifdef STUB_STATIC_MPR_FOR_TESTS
    // Only in a deliberately vulnerable test build: the static import that
    // the DLL-planting test must catch.
    WNetGetUniversalNameFn getUniversalName = &WNetGetUniversalNameW;
#else
    auto getUniversalName = As<WNetGetUniversalNameFn>(SystemEntry(kWNetGetUniversalNameW));
#endif
    if (!getUniversalName) return false;
    void* buffer = MemAlloc(2000);
    DWORD size = 2000;
    const bool ok = getUniversalName(W(path), UNIVERSAL_NAME_INFO_LEVEL, buffer, &size) == NO_ERROR;
    if (ok) {
        universal.Clear();
        const wchar_t* name = static_cast<UNIVERSAL_NAME_INFOW*>(buffer)->lpUniversalName;
        if (name) universal.Append(U(name));
    }
    MemFree(buffer);
    return ok;
}

StartResult Win32Platform::StartProcess(char16_t* commandLine, const char16_t* currentFolder) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;  // 68 in the 32-bit launcher
    PROCESS_INFORMATION info = {};
    StartResult result;
    result.started = CreateProcessW(nullptr, W(commandLine), nullptr, nullptr, FALSE, 0, nullptr,
                                    W(currentFolder), &startup, &info) != FALSE;
    if (!result.started) {
        result.error = GetLastError();
        return result;
    }
    ::CloseHandle(info.hThread);  // never used
    result.process = info.hProcess;
    return result;
}

StartResult Win32Platform::ShellStart(const char16_t* verb, const char16_t* file, const char16_t* parameters,
                                      bool noErrorUi) {
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;  // 60 in the 32-bit launcher
    info.fMask = SEE_MASK_NOCLOSEPROCESS | (noErrorUi ? SEE_MASK_FLAG_NO_UI : 0);
    info.lpVerb = W(verb);
    info.lpFile = W(file);
    info.lpParameters = W(parameters);
    info.nShow = SW_SHOW;
    StartResult result;
    auto shellExecuteEx = As<BOOL(WINAPI*)(SHELLEXECUTEINFOW*)>(SystemEntry(kShellExecuteExW));
    if (!shellExecuteEx) {
        result.error = ERROR_PROC_NOT_FOUND;
        return result;
    }
    result.started = shellExecuteEx(&info) != FALSE;
    if (!result.started) {
        result.error = GetLastError();  // ERROR_CANCELLED when the user declined
        return result;
    }
    result.process = info.hProcess;
    return result;
}

void Win32Platform::WaitFor(Handle process) { WaitForSingleObject(H(process), INFINITE); }

uint32_t Win32Platform::ExitCodeOf(Handle process) {
    DWORD code = 0;
    if (!GetExitCodeProcess(H(process), &code)) return 0;
    return code;
}

void Win32Platform::ShowMessage(const char16_t* text, const char16_t* caption, uint32_t style) {
    // Without user32 nothing can be shown; the exit code still tells.
    if (auto messageBox = As<int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT)>(SystemEntry(kMessageBoxW)))
        messageBox(nullptr, W(text), W(caption), style);
}

void Win32Platform::Exit(uint32_t exitCode) { ExitProcess(exitCode); }

void* LoadSystemLibrary(const char* fileName, LibrarySearch search) {
    wchar_t path[MAX_PATH + 32];
    const UINT n = GetSystemDirectoryW(path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return nullptr;
    UINT i = n;
    path[i++] = L'\\';
    for (const char* p = fileName; *p && i < MAX_PATH + 30; ++p) path[i++] = static_cast<wchar_t>(*p);
    path[i] = 0;
    // With the process restricted to the system folder the library's own
    // dependencies come from there anyway.  Without it,
    // LOAD_WITH_ALTERED_SEARCH_PATH makes them be looked for next to the
    // library, in the system folder, instead of next to the launcher.
    return LoadLibraryExW(path, nullptr,
                          search == LibrarySearch::SystemFolderOnly ? 0 : LOAD_WITH_ALTERED_SEARCH_PATH);
}

LibrarySearch HardenLibraryLoading() {
    HMODULE kernel32 = GetModuleHandleW(L"kernel32");
    // Take the current folder out of the search order (XP SP1 and later).
    using SetDllDirectoryFn = BOOL(WINAPI*)(LPCWSTR);
    if (auto setDllDirectory = LookUp<SetDllDirectoryFn>(kernel32, "SetDllDirectoryW")) setDllDirectory(L"");

    // Where the system has it (Windows 8, and 7 or Vista with KB2533623),
    // allow only the system folder for everything loaded from now on.
    // AddDllDirectory is looked up too: it arrived with the same update, and
    // SetDefaultDllDirectories without it is the broken early variant.
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    auto setDefault = LookUp<SetDefaultDllDirectoriesFn>(kernel32, "SetDefaultDllDirectories");
    if (setDefault && GetProcAddress(kernel32, "AddDllDirectory") &&
        setDefault(0x00000800 /* LOAD_LIBRARY_SEARCH_SYSTEM32 */))
        return LibrarySearch::SystemFolderOnly;

    // Older systems: load by full path, now, the libraries that the shell
    // start and the message box pull in later by bare name, so that those
    // later loads find them already in the process.
    // (One string of names: no base relocations.)
    static const char kPreload[] =
        "uxtheme.dll\0userenv.dll\0setupapi.dll\0apphelp.dll\0propsys.dll\0dwmapi.dll\0cryptbase.dll\0"
        "oleacc.dll\0clbcatq.dll\0ntmarta.dll\0profapi.dll\0version.dll\0comctl32.dll\0sspicli.dll\0"
        "secur32.dll\0imm32.dll\0shfolder.dll\0ole32.dll\0rpcrt4.dll\0mpr.dll\0";
    for (const char* name = kPreload; *name; name = NthName(name, 1))
        LoadSystemLibrary(name, LibrarySearch::FullPathOnly);
    return LibrarySearch::FullPathOnly;
}
