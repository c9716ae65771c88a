// Platform: every operating-system operation the launcher's steps use, with
// the arguments the logic decides and the results it needs back.  The real
// implementation (win32/) calls the W functions of Windows; the tests use a
// simulated Windows.  Only win32/ includes <windows.h>.
#pragma once
#include <stdint.h>

#include "StubString.h"

// An open file or process; InvalidHandle() when an open failed (the value of
// INVALID_HANDLE_VALUE).
using Handle = void*;
inline Handle InvalidHandle() { return reinterpret_cast<Handle>(static_cast<intptr_t>(-1)); }

// What GetVersionExW reports (OSVERSIONINFOW); all zero when it failed.
struct VersionRecord {
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t platform = 0;
};

// One value of HKLM\Software\Microsoft\Windows NT\CurrentVersion, read into
// a 128-byte buffer.  Unreadable when missing or longer than the buffer.
struct RegistryReading {
    bool readable = false;
    uint8_t bytes[128] = {};
    uint32_t byteCount = 0;
};

struct StartResult {
    bool started = false;
    Handle process = nullptr;  // may be null even after a start
    uint32_t error = 0;        // the system's error code when not started
};

// Registry value names and shell verbs, as the platform receives them.
constexpr const char16_t* kValueCurrentBuild = u"CurrentBuild";
constexpr const char16_t* kValueDisplayVersion = u"DisplayVersion";
constexpr const char16_t* kValueReleaseId = u"ReleaseId";

class Platform {
public:
    // -- the running program ------------------------------------------------
    // GetModuleFileNameW(no module) into a 261-unit buffer; the path as the
    // call returns it (cut when longer).
    virtual void ModuleFileName(StubString& path) = 0;
    // GetCommandLineW.
    virtual const char16_t* CommandLine() = 0;

    // -- files ----------------------------------------------------------------
    // CreateFileW(GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING).
    virtual Handle OpenForReading(const char16_t* path) = 0;
    // CreateFileW(GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW, normal): fails
    // when anything exists at path, which is never opened or truncated.
    virtual Handle CreateForWriting(const char16_t* path) = 0;
    // Opens an existing file for reading while denying everyone else write
    // and delete access (share mode FILE_SHARE_READ only), so it cannot be
    // replaced while the handle is held.
    virtual Handle HoldAgainstChanges(const char16_t* path) = 0;
    // SetFilePointer(offset, a zero high part, FILE_BEGIN): offsets of 2 GiB
    // and more land past the end; the result is not examined.
    virtual void SeekTo(Handle file, uint32_t offset) = 0;
    // ReadFile / WriteFile: the count actually transferred.  The steps never
    // ask for more than kFilePiece at once (see FileTransfer.h).
    virtual uint32_t ReadFrom(Handle file, void* destination, uint32_t count) = 0;
    virtual uint32_t WriteTo(Handle file, const void* source, uint32_t count) = 0;
    // GetFileSize: the 64-bit size as low and high halves.
    virtual uint64_t FileSize(Handle file) = 0;
    virtual void CloseHandle(Handle handle) = 0;
    // DeleteFileW; the result is not examined.
    virtual void RemoveFile(const char16_t* path) = 0;
    // FindFirstFileW + FindClose: true when an entry (file or folder) exists.
    virtual bool Exists(const char16_t* path) = 0;
    // GetTempPath2W where the system has it (for SYSTEM it names a folder
    // only SYSTEM and administrators can enter), else GetTempPathW, into a
    // zero-filled buffer of MAX_PATH + 1 units, the longest result either
    // documents: the text up to the first NUL (possibly empty).
    virtual void TempPath(StubString& folder) = 0;
    // CreateDirectoryW with the security descriptor given in its text form
    // (SDDL) from the start; false when the folder was not created (anything
    // already there included) or the descriptor could not be made.
    virtual bool CreateFolder(const char16_t* path, const char16_t* securityDescriptor) = 0;
    // RemoveDirectoryW: only an empty folder goes; the result is not examined.
    virtual void RemoveFolder(const char16_t* path) = 0;

    // -- version facts --------------------------------------------------------
    // GetVersionExW with an OSVERSIONINFOW (size 276).
    virtual bool GetVersion(VersionRecord& version) = 0;
    // GetVersionExW with an OSVERSIONINFOEXW (size 284): wServicePackMajor.
    virtual bool GetServicePackMajor(uint32_t& servicePack) = 0;
    // RegOpenKeyExW(HKLM, "Software\Microsoft\Windows NT\CurrentVersion",
    // KEY_READ), RegQueryValueExW into 128 bytes, RegCloseKey.
    virtual bool OpenVersionKey() = 0;
    virtual void ReadVersionValue(const char16_t* name, RegistryReading& reading) = 0;
    virtual void CloseVersionKey() = 0;

    // -- the user and the machine ---------------------------------------------
    // True only for a 32-bit process on 64-bit Windows (IsWow64Process, looked
    // up at run time; missing or failing means false).
    virtual bool IsRunningUnderWow64() = 0;
    // Membership of the caller's token in BUILTIN\Administrators.
    virtual bool IsAdministrator() = 0;
    // The token user's security identifier in its text form ("S-1-5-21-...").
    virtual bool UserSid(StubString& sid) = 0;
    // count bytes from the system's random generator (RtlGenRandom).
    virtual bool RandomBytes(void* buffer, uint32_t count) = 0;
    // False only when the process's window station is known to be invisible
    // (a service, session 0): nobody could see or dismiss a window there.
    virtual bool HasVisibleWindowStation() = 0;
    // WNetGetUniversalNameW(UNIVERSAL_NAME_INFO_LEVEL, 2000-byte buffer);
    // false on any failure, including mpr.dll not being loadable.
    virtual bool UniversalName(const char16_t* path, StubString& universal) = 0;

    // -- processes -------------------------------------------------------------
    // CreateProcessW(no application name, commandLine, no inheritance, flags
    // 0, currentFolder, zeroed STARTUPINFOW).  commandLine may be modified.
    virtual StartResult StartProcess(char16_t* commandLine, const char16_t* currentFolder) = 0;
    // ShellExecuteExW(SEE_MASK_NOCLOSEPROCESS, verb, file, parameters,
    // SW_SHOW), with SEE_MASK_FLAG_NO_UI too when noErrorUi: the shell then
    // shows no error dialog of its own.
    virtual StartResult ShellStart(const char16_t* verb, const char16_t* file, const char16_t* parameters,
                                   bool noErrorUi) = 0;
    // WaitForSingleObject(INFINITE); GetExitCodeProcess.
    virtual void WaitFor(Handle process) = 0;
    virtual uint32_t ExitCodeOf(Handle process) = 0;

    // -- user interface and exit -------------------------------------------------
    // MessageBoxW(no owner, text, caption, style).  Not called for runs
    // nobody watches (see Fatal.h).
    virtual void ShowMessage(const char16_t* text, const char16_t* caption, uint32_t style) = 0;
    // Ends the process at once, without unwinding.
    [[noreturn]] virtual void Exit(uint32_t exitCode) = 0;

protected:
    // Platforms are never deleted through this interface; a non-virtual
    // destructor keeps operator delete out of the stub.
    ~Platform() = default;
};
