// The real platform: the Win32 calls behind every Platform operation.
#pragma once
#include "../Platform.h"

// How libraries may be loaded once HardenLibraryLoading has run.
enum class LibrarySearch {
    SystemFolderOnly,  // the process-wide default allows only the system folder
    FullPathOnly,      // older systems: every load must name the full path
};

// Restricts where the process loads libraries from: only the Windows system
// folder, never the launcher's own folder (a Downloads folder) or the current
// one.  Call before anything else.
LibrarySearch HardenLibraryLoading();

// Loads a system library by its full path in the system folder (its own
// dependencies are looked for there too); null when that fails.  The name
// is plain ASCII.
void* LoadSystemLibrary(const char* fileName, LibrarySearch search);

class Win32Platform final : public Platform {
public:
    // user32, advapi32, shell32 and mpr are not imported: a library imported
    // by the program is loaded before any of its code runs, and its own
    // dependencies are then looked for in the program's folder first, where
    // a planted copy would be found.  Each is loaded by full system path
    // when first needed, so a run loads only what it uses.
    explicit Win32Platform(LibrarySearch search) : search_(search) {}

    void ModuleFileName(StubString& path) override;
    const char16_t* CommandLine() override;
    Handle OpenForReading(const char16_t* path) override;
    Handle CreateForWriting(const char16_t* path) override;
    Handle HoldAgainstChanges(const char16_t* path) override;
    void SeekTo(Handle file, uint32_t offset) override;
    uint32_t ReadFrom(Handle file, void* destination, uint32_t count) override;
    uint32_t WriteTo(Handle file, const void* source, uint32_t count) override;
    uint64_t FileSize(Handle file) override;
    void CloseHandle(Handle handle) override;
    void RemoveFile(const char16_t* path) override;
    bool Exists(const char16_t* path) override;
    void TempPath(StubString& folder) override;
    bool CreateFolder(const char16_t* path, const char16_t* securityDescriptor) override;
    void RemoveFolder(const char16_t* path) override;
    bool GetVersion(VersionRecord& version) override;
    bool GetServicePackMajor(uint32_t& servicePack) override;
    bool OpenVersionKey() override;
    void ReadVersionValue(const char16_t* name, RegistryReading& reading) override;
    void CloseVersionKey() override;
    bool IsRunningUnderWow64() override;
    bool IsAdministrator() override;
    bool UserSid(StubString& sid) override;
    bool RandomBytes(void* buffer, uint32_t count) override;
    bool HasVisibleWindowStation() override;
    bool UniversalName(const char16_t* path, StubString& universal) override;
    StartResult StartProcess(char16_t* commandLine, const char16_t* currentFolder) override;
    StartResult ShellStart(const char16_t* verb, const char16_t* file, const char16_t* parameters,
                           bool noErrorUi) override;
    void WaitFor(Handle process) override;
    uint32_t ExitCodeOf(Handle process) override;
    void ShowMessage(const char16_t* text, const char16_t* caption, uint32_t style) override;
    [[noreturn]] void Exit(uint32_t exitCode) override;

private:
    enum SystemLibrary { kUser32, kAdvapi32, kShell32, kMpr, kSystemLibraryCount };
    // The entry points taken from those libraries, grouped by library in
    // that order; their names are in one string (Win32Platform.cpp).
    enum Entry : uint8_t {
        kMessageBoxW, kGetProcessWindowStation, kGetUserObjectInformationW,
        kRegOpenKeyExW, kRegQueryValueExW, kRegCloseKey, kAllocateAndInitializeSid, kFreeSid,
        kOpenProcessToken, kGetTokenInformation, kConvertSidToStringSidW,
        kConvertStringSecurityDescriptorToSecurityDescriptorW, kRtlGenRandom,
        kShellExecuteExW,
        kWNetGetUniversalNameW,
    };
    // The entry point, loading its library first if need be; null when
    // either is missing.
    void* SystemEntry(Entry entry);

    LibrarySearch search_;
    void* modules_[kSystemLibraryCount] = {};
    void* versionKey_ = nullptr;
    // CheckTokenMembership, looked up once per process.
    void* checkTokenMembership_ = nullptr;
    bool checkTokenMembershipLooked_ = false;

};
