// The main sequence as a whole: the order of its steps and what that order
// means for the user (which refusal wins), and the exit code of a run.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "FakeWindows.h"
#include "StubCore/StubCore.h"
#include "TestPackages.h"

namespace {

uint64_t AllBut(unsigned element) { return ~(uint64_t{1} << element); }

AllowedWindowsSet SetOf(uint64_t mask) {
    AllowedWindowsSet set{};
    for (int i = 0; i < 8; ++i) set.bytes[i] = static_cast<uint8_t>(mask >> (8 * i));
    return set;
}

// Passes every call on to a FakeWindows and writes down, in order, what was
// asked, naming the handles by what they were opened for.
class Recorder final : public Platform {
public:
    explicit Recorder(FakeWindows& fake) : fake_(fake) {}
    std::vector<std::string> calls;

    void ModuleFileName(StubString& path) override { fake_.ModuleFileName(path); }
    const char16_t* CommandLine() override { return fake_.CommandLine(); }
    Handle OpenForReading(const char16_t* path) override {
        return Name(fake_.OpenForReading(path), "package", "open package");
    }
    Handle CreateForWriting(const char16_t* path) override {
        return Name(fake_.CreateForWriting(path), "copy", "create copy");
    }
    Handle HoldAgainstChanges(const char16_t* path) override {
        return Name(fake_.HoldAgainstChanges(path), "held copy", "hold copy");
    }
    void SeekTo(Handle file, uint32_t offset) override {
        calls.push_back("seek " + names_[file] + " " + std::to_string(offset));
        fake_.SeekTo(file, offset);
    }
    uint32_t ReadFrom(Handle file, void* destination, uint32_t count) override {
        calls.push_back("read " + names_[file]);
        return fake_.ReadFrom(file, destination, count);
    }
    uint32_t WriteTo(Handle file, const void* source, uint32_t count) override {
        calls.push_back("write " + names_[file]);
        return fake_.WriteTo(file, source, count);
    }
    uint64_t FileSize(Handle file) override {
        calls.push_back("size " + names_[file]);
        return fake_.FileSize(file);
    }
    void CloseHandle(Handle handle) override {
        calls.push_back("close " + names_[handle]);
        fake_.CloseHandle(handle);
    }
    void RemoveFile(const char16_t* path) override {
        calls.push_back("delete");
        fake_.RemoveFile(path);
    }
    bool Exists(const char16_t* path) override {
        calls.push_back("exists");
        return fake_.Exists(path);
    }
    void TempPath(StubString& folder) override {
        calls.push_back("temp path");
        fake_.TempPath(folder);
    }
    bool CreateFolder(const char16_t* path, const char16_t* securityDescriptor) override {
        calls.push_back("create folder");
        return fake_.CreateFolder(path, securityDescriptor);
    }
    void RemoveFolder(const char16_t* path) override {
        calls.push_back("remove folder");
        fake_.RemoveFolder(path);
    }
    bool GetVersion(VersionRecord& version) override {
        calls.push_back("version");
        return fake_.GetVersion(version);
    }
    bool GetServicePackMajor(uint32_t& servicePack) override {
        calls.push_back("service pack");
        return fake_.GetServicePackMajor(servicePack);
    }
    bool OpenVersionKey() override {
        calls.push_back("open key");
        return fake_.OpenVersionKey();
    }
    void ReadVersionValue(const char16_t* name, RegistryReading& reading) override {
        calls.push_back("read value " + Narrow(name));
        fake_.ReadVersionValue(name, reading);
    }
    void CloseVersionKey() override {
        calls.push_back("close key");
        fake_.CloseVersionKey();
    }
    bool IsRunningUnderWow64() override {
        calls.push_back("wow64");
        return fake_.IsRunningUnderWow64();
    }
    bool IsAdministrator() override {
        calls.push_back("administrator");
        return fake_.IsAdministrator();
    }
    bool UserSid(StubString& sid) override {
        calls.push_back("user sid");
        return fake_.UserSid(sid);
    }
    bool RandomBytes(void* buffer, uint32_t count) override {
        calls.push_back("random");
        return fake_.RandomBytes(buffer, count);
    }
    bool HasVisibleWindowStation() override {
        calls.push_back("window station");
        return fake_.HasVisibleWindowStation();
    }
    bool UniversalName(const char16_t* path, StubString& universal) override {
        calls.push_back("universal name");
        return fake_.UniversalName(path, universal);
    }
    StartResult StartProcess(char16_t* commandLine, const char16_t* currentFolder) override {
        calls.push_back("start process");
        StartResult r = fake_.StartProcess(commandLine, currentFolder);
        names_[r.process] = "process";
        return r;
    }
    StartResult ShellStart(const char16_t* verb, const char16_t* file, const char16_t* parameters,
                           bool noErrorUi) override {
        calls.push_back("shell start");
        StartResult r = fake_.ShellStart(verb, file, parameters, noErrorUi);
        names_[r.process] = "process";
        return r;
    }
    void WaitFor(Handle process) override {
        calls.push_back("wait " + names_[process]);
        fake_.WaitFor(process);
    }
    uint32_t ExitCodeOf(Handle process) override {
        calls.push_back("exit code " + names_[process]);
        return fake_.ExitCodeOf(process);
    }
    void ShowMessage(const char16_t* text, const char16_t* caption, uint32_t style) override {
        calls.push_back("message");
        fake_.ShowMessage(text, caption, style);
    }
    [[noreturn]] void Exit(uint32_t exitCode) override {
        calls.push_back("exit");
        fake_.Exit(exitCode);
    }

private:
    FakeWindows& fake_;
    std::map<Handle, std::string> names_;

    Handle Name(Handle h, const char* name, const char* call) {
        calls.push_back(call);
        if (h != InvalidHandle()) names_[h] = name;
        return h;
    }
};

// True when every item of wanted occurs in calls, in this order.
::testing::AssertionResult InOrder(const std::vector<std::string>& calls, const std::vector<std::string>& wanted) {
    size_t at = 0;
    for (const std::string& w : wanted) {
        while (at < calls.size() && calls[at] != w) ++at;
        if (at == calls.size()) {
            std::string all;
            for (const std::string& c : calls) all += "\n  " + c;
            return ::testing::AssertionFailure() << "\"" << w << "\" missing or out of order in:" << all;
        }
        ++at;
    }
    return ::testing::AssertionSuccess();
}

TEST(MainSequence, StepsRunInTheirOrder) {
    FakeWindows fake;
    fake.SetRegistryText(kValueCurrentBuild, u"19045");
    PackageLayout layout;
    InstallPackage(fake, BuildPackage(SoundRecipe(), &layout));
    Recorder recorder(fake);
    uint32_t exitCode = 0;
    try {
        exitCode = RunLauncher(recorder);
    } catch (const FakeExit& e) {
        FAIL() << "ended with " << e.code;
    }
    EXPECT_EQ(exitCode, 0u);
    const std::string payload = "seek package " + std::to_string(layout.header.engine64.offset);
    EXPECT_TRUE(InOrder(recorder.calls, {
        "open package", "seek package 128", "read package", "size package",  // locator, size rule
        "wow64",                                                             // width before the gate
        "version", "open key", "close key",                                  // the gate
        payload, "read package",                                             // the payload
        "temp path", "user sid", "random", "create folder",                 // the run's own folder
        "exists", "create copy", "write copy", "close copy",                // the copy
        "hold copy", "close package",                                        // package closed before...
        "universal name",                                                    // ...the arguments are built
        "administrator", "window station", "shell start", "close held copy", // start, then release
        "wait process", "exit code process", "close process", "delete", "remove folder",
    }));
    // Nothing is read from the package once the copy exists.
    const auto created = std::find(recorder.calls.begin(), recorder.calls.end(), "create copy");
    EXPECT_EQ(std::find(created, recorder.calls.end(), "read package"), recorder.calls.end());
}

// The processor width is decided before the Windows version: a package with
// no engine for this machine says so even where its Windows is refused too.
TEST(MainSequence, WrongWidthWinsOverRefusedWindows) {
    struct Row {
        const char* what;
        bool wow64;
        bool refuse64;    // a 32-bit package refusing 64-bit Windows
        bool only64;      // a package with the 64-bit engine alone
    };
    const Row rows[] = {
        {"32-bit package on 64-bit Windows", true, true, false},
        {"64-bit package on 32-bit Windows", false, false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        FakeWindows fake;
        fake.version = {6, 1, 2};
        fake.wow64 = row.wow64;
        PackageRecipe recipe = SoundRecipe();
        recipe.allowedWindows = SetOf(AllBut(kWin7));
        if (row.refuse64) {
            recipe.engine64.reset();
            recipe.refuse64BitWindows = true;
        }
        if (row.only64) recipe.engine32.reset();
        InstallPackage(fake, BuildPackage(recipe));
        const RunOutcome outcome = RunLauncherOn(fake);
        EXPECT_EQ(outcome.exitCode, 216u);
        ASSERT_EQ(fake.messages.size(), 1u);
        EXPECT_EQ(fake.messages[0].text, kWrongWidthText);
        EXPECT_EQ(fake.servicePackQueries + fake.versionKeyOpenings, 0);
    }
}

// The gate comes before the payload is read: a refused Windows is told so
// even when the payload is broken, and no copy is written.
TEST(MainSequence, RefusedWindowsWinsOverBrokenPayload) {
    FakeWindows fake;
    fake.version = {6, 1, 2};
    PackageRecipe recipe = SoundRecipe();
    recipe.allowedWindows = SetOf(AllBut(kWin7));
    recipe.engine64 = PayloadInput{EngineBytes(5000, 64), Bytes{0xFF, 0xFF, 0xFF, 0xFF}, {}};
    InstallPackage(fake, BuildPackage(recipe));
    const RunOutcome outcome = RunLauncherOn(fake);
    EXPECT_EQ(outcome.exitCode, 1150u);
    ASSERT_EQ(fake.messages.size(), 1u);
    EXPECT_EQ(fake.messages[0].text, u"Setup does not run on Windows 7.");
    EXPECT_EQ(fake.files.size(), 1u);
}

// A run that waited for its engine ends with the engine's exit code, so a
// script sees what the setup itself reported (3010: reboot required).
TEST(MainSequence, EngineExitCodeIsPassedOn) {
    for (uint32_t code : {0u, 1u, 3010u}) {
        for (bool administrator : {false, true}) {
            SCOPED_TRACE(std::to_string(code) + (administrator ? ", direct start" : ", shell start"));
            FakeWindows fake;
            fake.administrator = administrator;
            fake.engineExitCode = code;
            InstallPackage(fake, BuildPackage(SoundRecipe()));
            const RunOutcome outcome = RunLauncherOn(fake);
            EXPECT_TRUE(outcome.returnedNormally);
            EXPECT_EQ(outcome.exitCode, code);
            EXPECT_TRUE(fake.messages.empty());
        }
    }
}

// A run nobody watches (silent, or a service without a visible window
// station, as a deployment tool runs it) shows no message box, neither a
// built-in one nor a package's own, since nobody could dismiss it: the run
// would never end.  The exit code alone tells what happened.
TEST(MainSequence, RunsNobodyWatchesEndWithTheExitCodeAlone) {
    struct Failure {
        const char* what;
        std::function<void(FakeWindows&, PackageRecipe&)> cause;
        uint32_t exitCode;
        bool noPackage = false;
    };
    const Failure failures[] = {
        {"damaged", [](FakeWindows&, PackageRecipe&) {}, 1392, true},
        {"temporary copy", [](FakeWindows& f, PackageRecipe&) { f.folderCreationFails = true; }, 82},
        {"engine start",
         [](FakeWindows& f, PackageRecipe&) {
             f.administrator = true;
             f.startFails = true;
             f.startError = 5;
         },
         5},
        {"wrong width",
         [](FakeWindows&, PackageRecipe& r) {
             r.engine64.reset();
             r.refuse64BitWindows = true;
         },
         216},
        {"unsupported Windows",
         [](FakeWindows& f, PackageRecipe& r) {
             f.SetRegistryText(kValueCurrentBuild, u"19045");
             r.allowedWindows = SetOf(AllBut(kWin10));
         },
         1150},
    };
    struct Watcher {
        const char* what;
        std::u16string arguments;
        bool windowStationVisible;
        bool shown;
    };
    const Watcher watchers[] = {
        {"interactive", u" a b", true, true},
        {"/s", u" /s", true, false},
        {"/SILENT among others", u" a /SILENT b", true, false},
        {"/silent quoted", u" \"/silent\"", true, false},
        {"no visible window station", u"", false, false},
        // Only the exact switch counts, as for the elevation.
        {"/silently", u" /silently", true, true},
    };
    for (const Failure& failure : failures) {
        for (const Watcher& watcher : watchers) {
            SCOPED_TRACE(std::string(failure.what) + ", " + watcher.what);
            FakeWindows fake;
            fake.commandLine += watcher.arguments;
            fake.windowStationVisible = watcher.windowStationVisible;
            PackageRecipe recipe = SoundRecipe();
            failure.cause(fake, recipe);
            InstallPackage(fake, failure.noPackage ? FakeStub() : BuildPackage(recipe));
            const RunOutcome outcome = RunLauncherOn(fake);
            EXPECT_FALSE(outcome.returnedNormally);
            EXPECT_EQ(outcome.exitCode, failure.exitCode);
            EXPECT_EQ(fake.messages.size(), watcher.shown ? 1u : 0u);
        }
    }
}

// A network share may refuse a single transfer of tens of MiB: the payload
// is read and the copy written in pieces, with the same bytes.
TEST(MainSequence, LargeEnginesMoveInPiecesTheShareAccepts) {
    FakeWindows fake;
    fake.largestTransfer = 1u << 20;
    PackageRecipe recipe = SoundRecipe();
    // Random bytes: packed, too, they are larger than one transfer.
    Bytes engine(3u << 20);
    uint32_t x = 1;
    for (uint8_t& b : engine) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24);
    recipe.engine64 = PayloadInput{engine, {}, {}};
    recipe.minimumFileSize = 1;
    InstallPackage(fake, BuildPackage(recipe));
    const RunOutcome outcome = RunLauncherOn(fake);
    ASSERT_TRUE(outcome.returnedNormally) << outcome.exitCode;
    EXPECT_TRUE(fake.messages.empty());
    ASSERT_EQ(fake.starts.size(), 1u);
    EXPECT_TRUE(fake.File(fake.starts[0].file) == engine);
}

}  // namespace
