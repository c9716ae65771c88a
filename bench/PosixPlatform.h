// PosixPlatform: the launcher's platform on Linux with real files, for
// measuring extraction.  Windows paths ('\' separators) are mapped to POSIX
// paths by turning every '\' into '/'; the version facts are those of a
// Windows 10 22H2 machine run by an administrator, so the launcher takes the
// direct start; the start itself runs nothing and succeeds.
//
// It also notes when the steps of interest happen: the header read that ends
// verification, the creation of the temporary copy, its close, and the
// reading back of the held copy.
#pragma once
#include <chrono>
#include <cstdint>
#include <string>

#include "StubCore/Platform.h"

using Clock = std::chrono::steady_clock;

class PosixPlatform final : public Platform {
public:
    // launcherPath and tempFolder are POSIX paths; tempFolder ends in '/'.
    PosixPlatform(const std::string& launcherPath, const std::string& tempFolder);

    // -- what happened -------------------------------------------------------------
    Clock::time_point headerRead{};   // the 74-byte header read after the checksum
    Clock::time_point copyCreated{};  // the temporary copy opened for writing
    Clock::time_point copyClosed{};   // and closed after its one write
    Clock::time_point copyHeld{};     // opened again to hold it
    Clock::time_point copyReadBack{}; // the last read through that handle
    std::string copyPath;             // POSIX path of the temporary copy
    // CRC-32 of the copy, taken just before the launcher deletes it (outside
    // the measured stretch), so the caller can tell that it was right.
    uint32_t copyCrc = 0;
    uint64_t copySize = 0;
    bool copySeen = false;

    // -- Platform ----------------------------------------------------------------------
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
    std::u16string launcherPath_;  // as the launcher sees it: '\' separators
    std::u16string tempFolder_;
    std::u16string commandLine_;
    int writeFd_ = -1;
    int heldFd_ = -1;
};

// UTF-16 Windows path to a UTF-8 POSIX path ('\' becomes '/'), and back.
std::string ToPosixPath(const char16_t* path);
std::u16string ToLauncherPath(const std::string& path);
