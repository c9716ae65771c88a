// How the launcher starts its engine, run for real under Wine: through the
// shell for a standard user on Vista and later ("open" with " /noadmin", or
// "runas" for a silent run of a package that asks for elevation), directly
// for an administrator and on Windows XP.  What the launcher asked the shell
// for comes from Wine's exec trace (verb, file, parameters, mask, show
// command), what the engine got from its report (command line, folder,
// token), and whether the launcher made its administrator test from the
// relay trace of CheckTokenMembership.
//
// What Wine cannot show, and so stays with the unit tests (EngineStart_test,
// CommandLine_test):
// - a failing shell start: Wine's ShellExecuteExW runs any file, even one
//   that is no program or has no .exe name;
// - elevation: Wine's "runas" starts the engine with the same limited token
//   (checked below, so a Wine that changes this is noticed);
// - the UNC package path: a program started from a UNC path gets
//   "UNC\server\..." from GetModuleFileNameW under Wine and cannot open its
//   own file, and a drive letter is a network drive only on a network file
//   system.
#include <gtest/gtest.h>

#include <thread>

#include "TestPackages.h"
#include "WineHarness.h"

namespace e2e {
namespace {

constexpr const char* kMaskNoCloseProcess = "0x00000040";  // SEE_MASK_NOCLOSEPROCESS
constexpr const char* kMaskNoCloseProcessNoUi = "0x00000440";  // ... | SEE_MASK_FLAG_NO_UI
constexpr const char* kShowNormal = "0x00000005";          // SW_SHOW

LaunchOptions As(User user) {
    LaunchOptions options;
    options.user = user;
    return options;
}

// Each case starts from Windows 10 (Wine's default is Windows 7, which takes
// the same roads).
class EngineStart : public WineTest {
protected:
    void SetUp() override {
        WineTest::SetUp();
        Windows("win10", {{"CurrentBuild", "19045"}, {"DisplayVersion", "22H2"}});
    }
    fs::path Package(const PackageRecipe& recipe, const std::string& name = "setup.exe") {
        return Place(BuildPackage(recipe), name);
    }
};

// The copy the engine ran from, as it reports it, checked to be where the
// launcher puts it: a folder of its own in the user's temporary folder.
std::string CopyOf(const std::map<std::string, std::string>& report, const std::string& name = "setup.exe") {
    const auto self = report.find("self");
    if (self == report.end()) return {};
    EXPECT_TRUE(IsRunCopyPath(self->second, WineTempFolder(), name)) << self->second;
    return self->second;
}

// --- the standard user's decision table ---------------------------------------------

struct ShellCase {
    std::string name;
    std::string arguments;   // the launcher's command-line tail
    uint8_t elevationMode;
    std::string verb;
    bool noAdmin;            // " /noadmin" appended to the parameters
    bool silent;             // a silent switch among the arguments
};

class StandardUserShellStart : public EngineStart, public ::testing::WithParamInterface<ShellCase> {};

TEST_P(StandardUserShellStart, AsksTheShellForTheVerbAndParametersOfTheTable) {
    const ShellCase& c = GetParam();
    PackageRecipe recipe = RealRecipe(Stub32());
    recipe.elevationMode = c.elevationMode;
    const fs::path package = Package(recipe);
    const WineRun run = Launch(package, c.arguments, As(User::StandardUser));
    ASSERT_TRUE(run.exited) << run.output << run.errors.substr(0, 2000);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(run.messages.empty()) << run.messages[0].text;
    EXPECT_EQ(run.administratorTests, 1);

    // The arguments come back re-quoted as the launcher splits them; the
    // cases keep them in that form, so they appear unchanged.
    const std::string parameters =
        "\"" + WinePath(package) + "\"" + (c.arguments.empty() ? "" : " " + c.arguments) + (c.noAdmin ? " /noadmin" : "");
    const auto report = ReadReport(package);
    ASSERT_FALSE(report.empty()) << "the engine did not run";
    const std::string copy = CopyOf(report);
    ASSERT_EQ(run.shellCalls.size(), 1u) << run.errors.substr(0, 2000);
    const ShellCall& call = run.shellCalls[0];
    EXPECT_EQ(call.verb, c.verb);
    EXPECT_EQ(call.file, copy);
    EXPECT_EQ(call.parameters, parameters);
    // A silent run may be one nobody watches: no error dialog from the shell.
    EXPECT_EQ(call.mask, c.silent ? kMaskNoCloseProcessNoUi : kMaskNoCloseProcess);
    EXPECT_EQ(call.show, kShowNormal);
    EXPECT_EQ(call.directory, "(null)");

    EXPECT_EQ(report.at("commandline"), "\"" + copy + "\" " + parameters);
    // No folder is given to the shell: the engine works in the launcher's
    // current folder, which the harness makes the package's.
    EXPECT_EQ(report.at("cwd") + "\\", WinePath(package.parent_path()) + "\\");
    // Wine's "runas" does not elevate: the engine keeps the limited token.
    EXPECT_EQ(report.at("admin"), "no");
    EXPECT_EQ(report.at("elevation"), "limited");
    EXPECT_EQ(report.at("bits"), "64");
    EXPECT_FALSE(fs::exists(LinuxPath(copy).parent_path())) << "the copy and its folder were not deleted";
}

INSTANTIATE_TEST_SUITE_P(
    stub32, StandardUserShellStart,
    ::testing::Values(
        // Not silent: "open" and " /noadmin", whatever the package asks.
        ShellCase{"NoSwitches_Mode0_OpenNoAdmin", "", 0, "open", true, false},
        ShellCase{"NoSwitches_Mode1_OpenNoAdmin", "", 1, "open", true, false},
        ShellCase{"NoSwitches_Mode2_OpenNoAdmin", "x \"a b\"", 2, "open", true, false},
        // Silent and mode 1: elevation asked for, parameters unchanged.
        ShellCase{"SlashS_Mode1_Runas", "/S", 1, "runas", false, true},
        ShellCase{"SilentFirstOfThree_Mode1_Runas", "/silent x y", 1, "runas", false, true},
        ShellCase{"SilentUpperCaseLast_Mode1_Runas", "x /SILENT", 1, "runas", false, true},
        // Silent and mode 2: " /noadmin" passed on.
        ShellCase{"Silent_Mode2_OpenNoAdmin", "/silent", 2, "open", true, true},
        // Silent and any other mode: "open", nothing appended.
        ShellCase{"Silent_Mode0_Open", "/silent", 0, "open", false, true},
        ShellCase{"SlashS_Mode3_Open", "/s", 3, "open", false, true},
        ShellCase{"SlashS_Mode255_Open", "/s", 255, "open", false, true},
        // Only the exact switch counts: a quoted "/silent " (trailing
        // space) and longer words are no silent switch.
        ShellCase{"QuotedSilentWithSpace_Mode1_OpenNoAdmin", "\"/silent \"", 1, "open", true, false},
        ShellCase{"SilentX_Mode1_OpenNoAdmin", "/silentx /s2", 1, "open", true, false}),
    [](const auto& info) { return info.param.name; });

// The same on stub64.exe, for the one case where the verb changes.
TEST_F(EngineStart, StandardUserSilentRunasOnStub64) {
    PackageRecipe recipe = RealRecipe(Stub64());
    recipe.elevationMode = 1;
    const fs::path package = Package(recipe);
    const WineRun run = Launch(package, "/s", As(User::StandardUser));
    ASSERT_TRUE(run.exited) << run.output << run.errors.substr(0, 2000);
    ASSERT_EQ(run.shellCalls.size(), 1u);
    EXPECT_EQ(run.shellCalls[0].verb, "runas");
    EXPECT_EQ(run.shellCalls[0].parameters, "\"" + WinePath(package) + "\" /s");
    EXPECT_EQ(ReadReport(package).at("admin"), "no");
}

// --- roads without the shell ---------------------------------------------------------

// Windows XP knows no elevation: a standard user's engine starts directly,
// the administrator test is not made, nothing is appended.  An
// administrator's starts directly whatever the switches and the package
// ask.  Neither calls the shell at all; both engines work in the launcher's
// folder.
struct DirectCase {
    std::string name;
    std::string wineVersion;  // empty: Windows 10, as the fixture sets it
    User user;
    int administratorTests;
};

class DirectStart : public EngineStart, public ::testing::WithParamInterface<DirectCase> {};

TEST_P(DirectStart, StartsTheEngineWithoutTheShell) {
    const DirectCase& c = GetParam();
    if (!c.wineVersion.empty()) Windows(c.wineVersion);
    PackageRecipe recipe = RealRecipe(Stub32());
    recipe.elevationMode = 1;
    const fs::path package = Package(recipe);
    const WineRun run = Launch(package, "/silent", As(c.user));
    ASSERT_TRUE(run.exited) << run.output << run.errors.substr(0, 2000);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(run.shellCalls.empty()) << "the engine went through the shell";
    EXPECT_EQ(run.administratorTests, c.administratorTests);
    const auto report = ReadReport(package);
    ASSERT_FALSE(report.empty()) << "the engine did not run";
    EXPECT_EQ(report.at("commandline"), "\"" + CopyOf(report) + "\" \"" + WinePath(package) + "\" /silent");
    EXPECT_EQ(report.at("cwd") + "\\", WinePath(package.parent_path()) + "\\");
    EXPECT_EQ(report.at("admin"), c.user == User::Administrator ? "yes" : "no");
}

INSTANTIATE_TEST_SUITE_P(stub32, DirectStart,
                         ::testing::Values(DirectCase{"StandardUserOnWindowsXp", "winxp64", User::StandardUser, 0},
                                           DirectCase{"AdministratorOnWindows10", "", User::Administrator, 1}),
                         [](const auto& info) { return info.param.name; });

// --- waiting, through the shell -----------------------------------------------------

// The launcher waits for the process the shell started, passes on its exit
// code, and deletes the copy; the package was closed before the start.
TEST_F(EngineStart, StandardUserWaitsForTheShellsProcessAndPassesItsExitCode) {
    const fs::path package = Package(RealRecipe(Stub32()));
    // The engine writes its report only after its pause, so a report at the
    // launcher's end means that the launcher waited.
    const WineRun run = Launch(package, "/sleep=1500 /exit=3010", As(User::StandardUser));
    ASSERT_TRUE(run.exited) << run.output << run.errors.substr(0, 2000);
    ASSERT_EQ(run.shellCalls.size(), 1u);
    EXPECT_EQ(run.exitCode, 3010u);
    const auto report = ReadReport(package);
    ASSERT_FALSE(report.empty()) << "the launcher did not wait for its engine";
    EXPECT_EQ(report.at("package_closed"), "yes") << "the launcher kept its package open";
    EXPECT_FALSE(fs::exists(LinuxPath(CopyOf(report)).parent_path())) << "the copy and its folder were not deleted";
}

// minimumFileSize set: started through the shell, not waited for, the copy
// left in place in its folder.
TEST_F(EngineStart, StandardUserNoWaitLeavesTheCopy) {
    PackageRecipe recipe = RealRecipe(Stub32());
    recipe.minimumFileSize = static_cast<uint32_t>(BuildPackage(recipe).size());
    const std::string name = "nowait-shell.exe";
    const fs::path package = Package(recipe, name);
    const WineRun run = Launch(package, "/sleep=8000", As(User::StandardUser));
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_FALSE(fs::exists(package.string() + ".report")) << "the launcher waited for its engine";
    EXPECT_LT(run.seconds, 8.0) << "the launcher waited for its engine";
    ASSERT_EQ(run.shellCalls.size(), 1u);
    const std::string copy = run.shellCalls[0].file;
    EXPECT_TRUE(IsRunCopyPath(copy, WineTempFolder(), name)) << copy;
    ASSERT_TRUE(fs::exists(LinuxPath(copy)));
    EXPECT_EQ(ReadFile(LinuxPath(copy)), ReadFile(Engine64Path()));
    // Let the engine finish before its copy goes.
    for (int i = 0; i < 150 && !fs::exists(package.string() + ".report"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    fs::remove_all(LinuxPath(copy).parent_path());
}

}  // namespace
}  // namespace e2e
