// FakeWindows: a simulated Windows for running the launcher in-process.
// Files and folders live in memory; version facts, registry values, the
// WOW64 and administrator answers are plain fields; message boxes, process
// starts and other effects are recorded.  Exit throws FakeExit, so a whole
// launcher run ends in the test's hands and the test reads what it did.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "StubCore/Platform.h"

using Bytes = std::vector<uint8_t>;

// The name of the first run folder the launcher creates on a FakeWindows
// (from its first RandomBytes), and the second.
constexpr const char16_t* kFirstRunFolder = u"0123456789abcdef";
constexpr const char16_t* kSecondRunFolder = u"0123456789abcdf0";

struct FakeExit {
    uint32_t code;
};

struct ShownMessage {
    std::u16string text;
    std::u16string caption;
    uint32_t style;
};

struct StartRecord {
    bool shell = false;
    std::u16string commandLine;    // direct start
    std::u16string currentFolder;  // direct start
    std::u16string verb, file, parameters;  // shell start
    bool noErrorUi = false;                 // shell start: SEE_MASK_FLAG_NO_UI
    bool packageOpen = false;      // was the package file still open?
    bool copyHeld = false;         // was the copy held against changes?
};

class FakeWindows final : public Platform {
public:
    // -- the world -----------------------------------------------------------------
    std::u16string modulePath = u"C:\\Downloads\\setup.exe";
    std::u16string commandLine = u"\"C:\\Downloads\\setup.exe\"";
    std::u16string tempPath = u"C:\\Users\\user\\AppData\\Local\\Temp\\";
    std::map<std::u16string, Bytes> files;  // keyed by upper-cased path
    std::set<std::u16string> folders;       // upper-cased; any path counts as existing when listed

    bool versionQuerySucceeds = true;
    VersionRecord version{10, 0, 2};
    bool servicePackQuerySucceeds = true;
    uint32_t servicePack = 0;
    bool versionKeyOpens = true;
    std::map<std::u16string, Bytes> registry;  // raw value bytes by value name

    bool wow64 = true;
    bool administrator = false;
    std::u16string userSid = u"S-1-5-21-1004336348-1177238915-682003330-1001";
    bool userSidFails = false;
    // RandomBytes gives the bytes of this number, most significant first,
    // and adds one per call: run folders are "0123456789abcdef", then
    // "0123456789abcdf0", ...
    uint64_t nextRandom = 0x0123456789abcdefull;
    bool randomFails = false;
    bool windowStationVisible = true;
    std::map<std::u16string, std::u16string> universalNames;  // drive path -> UNC

    // -- failures to simulate ------------------------------------------------------
    std::set<std::u16string> uncreatable;   // CreateForWriting and CreateFolder fail for these (upper-cased)
    bool folderCreationFails = false;       // every CreateFolder fails
    std::optional<uint32_t> diskSpace;      // WriteTo stores at most this many bytes in all
    // A network share that refuses single transfers larger than this:
    // ReadFrom and WriteTo then move nothing (0: no limit).
    uint32_t largestTransfer = 0;
    bool holdFails = false;
    // Another process's work on the copy between the launcher's closing of
    // its write handle and its holding of the copy.
    std::function<void(Bytes& copy)> changeBeforeHold;
    // Another process's work just before the launcher creates a file.
    std::function<void(FakeWindows&, const std::u16string& path)> beforeCreateForWriting;
    bool startFails = false;
    uint32_t startError = 0;
    bool shellGivesNoProcess = false;
    uint32_t engineExitCode = 0;

    // -- what happened ---------------------------------------------------------------
    std::vector<ShownMessage> messages;
    std::vector<StartRecord> starts;
    std::vector<std::string> events;  // "wait", "delete <path>", "remove folder <path>", "close process"...
    struct CreatedFolder {
        std::u16string path, securityDescriptor;
    };
    std::vector<CreatedFolder> createdFolders;  // every CreateFolder asked for, created or not
    int wow64Probes = 0;
    int administratorQueries = 0;
    int universalNameCalls = 0;
    int servicePackQueries = 0;
    int windowStationQueries = 0;
    int versionKeyOpenings = 0;
    std::vector<std::u16string> valuesRead;

    // -- conveniences ----------------------------------------------------------------
    void AddFile(const std::u16string& path, Bytes bytes);
    void AddFolder(const std::u16string& path);
    bool HasFile(const std::u16string& path) const;
    const Bytes& File(const std::u16string& path) const;
    // Stores text as REG_SZ bytes with a terminating NUL.
    void SetRegistryText(const std::u16string& name, const std::u16string& text);
    // Number of handles still open to path (any mode).
    int OpenHandles(const std::u16string& path) const;

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

    ~FakeWindows();

private:
    enum class Mode { Read, Write, Hold, Process };
    struct Open {
        std::u16string key;
        Mode mode;
        uint64_t position = 0;
    };
    std::map<uintptr_t, Open> handles_;
    uintptr_t nextHandle_ = 0x100;
    bool keyOpen_ = false;
    uint64_t written_ = 0;

    Handle NewHandle(const std::u16string& key, Mode mode);
    StartResult RecordStart(StartRecord record, bool withProcess);
    Open* Find(Handle h);
    bool IsHeld(const std::u16string& key) const;
    bool IsOpen(const std::u16string& key) const;
};

std::u16string Upper(const std::u16string& path);
// A REG_SZ value as Windows stores it: UTF-16LE with a terminating NUL.
Bytes RegistryString(const std::u16string& text);
std::string Narrow(const std::u16string& text);  // for test messages: UTF-16 to UTF-8

// What one launcher run did.
struct RunOutcome {
    uint32_t exitCode = 0;
    bool returnedNormally = false;  // true: RunLauncher returned; false: Exit was called
};

// Runs the launcher on fake; never throws.
RunOutcome RunLauncherOn(FakeWindows& fake);
