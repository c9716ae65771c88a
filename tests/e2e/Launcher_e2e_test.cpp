// The real launchers under Wine, on packages made by the package writer,
// with report-engine.exe (built for both widths) as the setup engines.
// stub32.exe, the product, runs everything under WOW64; stub64.exe runs
// where it adds something.  Runs are an administrator's (Wine's own user)
// unless a test's name says StandardUser; the start itself, for both users,
// is tested in EngineStart_e2e_test.cpp.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "StubCore/CommandLine.h"
#include "StubCore/Fatal.h"
#include "TestPackages.h"
#include "WineHarness.h"

namespace e2e {
namespace {

// The relay trace cuts texts after about 300 characters; the two long
// messages are compared up to there.
constexpr size_t kTraced = 250;

const std::string kDamaged = Narrow(kDamagedPackageMessage);
const std::string kTruncated = Narrow(kTruncatedPackageMessage);
const std::string kTemporaryCopy = Narrow(kTemporaryCopyMessage);
const std::string kEngineStart = Narrow(kEngineStartMessage);

std::string NameOf(const ::testing::TestParamInfo<const LauncherBuild*>& info) { return info.param->name; }

// Single cases on stub32.exe.
class Stub32Run : public WineTest {};

// --- the four built-in messages, on stub32.exe ----------------------------------

struct FatalCase {
    std::string name;
    // Makes the package (in folder) and returns the command-line tail.
    std::function<std::string(const fs::path& package)> prepare;
    const std::string* text;
    uint32_t exitCode;
};

class FatalMessage : public WineTest, public ::testing::WithParamInterface<FatalCase> {};

TEST_P(FatalMessage, OneMessageBoxWithItsTextCaptionAndExitCode) {
    const FatalCase& c = GetParam();
    const fs::path package = TestFolder() / "setup.exe";
    const std::string tail = c.prepare(package);
    const WineRun run = Launch(package, tail);
    ASSERT_TRUE(run.exited) << run.output << run.errors.substr(0, 2000);
    EXPECT_EQ(run.exitCode, c.exitCode);
    ASSERT_EQ(run.messages.size(), 1u);
    EXPECT_EQ(run.messages[0].text.substr(0, kTraced), c.text->substr(0, kTraced));
    EXPECT_EQ(run.messages[0].caption, WinePath(package));
    EXPECT_EQ(run.messages[0].style, "00000010");
    EXPECT_FALSE(fs::exists(package.string() + ".report")) << "an engine ran";
}

INSTANTIATE_TEST_SUITE_P(
    stub32, FatalMessage,
    ::testing::Values(
        FatalCase{"Damaged_BareLauncher",
                  [](const fs::path& p) {
                      WriteFile(p, ReadFile(Stub32().stub));
                      return std::string();
                  },
                  &kDamaged, kExitDamagedPackage},
        FatalCase{"Damaged_CorruptEngineStream",
                  [](const fs::path& p) {
                      // The checksum passes (resealed); only the decoder can tell.
                      PackageLayout layout;
                      Bytes package = BuildPackage(RealRecipe(Stub32()), &layout);
                      package[layout.header.engine64.offset + layout.header.engine64.packedSize / 2] ^= 0x5A;
                      ResealPackage(package);
                      WriteFile(p, package);
                      return std::string();
                  },
                  &kDamaged, kExitDamagedPackage},
        FatalCase{"Truncated_OneByteShort",
                  [](const fs::path& p) {
                      Bytes package = BuildPackage(RealRecipe(Stub32()));
                      package.pop_back();
                      WriteFile(p, package);
                      return std::string();
                  },
                  &kTruncated, kExitTruncatedPackage},
        FatalCase{"TemporaryCopy_FolderMissing",
                  [](const fs::path& p) {
                      WriteFile(p, BuildPackage(RealRecipe(Stub32())));
                      return "/temp \"" + WinePath(p.parent_path() / "no such folder") + "\"";
                  },
                  &kTemporaryCopy, kExitTemporaryCopy},
        FatalCase{"EngineStart_NotAProgram",
                  [](const fs::path& p) {
                      PackageRecipe recipe = RealRecipe(Stub32());
                      const std::string text = "this is not a program";
                      recipe.engine64 = PayloadInput{Bytes(text.begin(), text.end()), {}, {}};
                      WriteFile(p, BuildPackage(recipe));
                      fs::create_directories(p.parent_path() / "t");
                      return "/temp " + WinePath(p.parent_path() / "t");
                  },
                  &kEngineStart, 193u /* ERROR_BAD_EXE_FORMAT, the start's own error */}),
    [](const auto& info) { return info.param.name; });

// --- runs nobody watches --------------------------------------------------------

// A silent run, or one on a window station nobody can see (a service in
// session 0, as deployment tools run setups), shows no message box: it
// would wait forever for a click.  The exit code alone tells.
struct UnwatchedCase {
    std::string name;
    std::string arguments;
    bool hiddenWindowStation;
    bool refusedWindows;  // the package's own text instead of a built-in one
    bool shown;
};

class RunsNobodyWatches : public WineTest, public ::testing::WithParamInterface<UnwatchedCase> {};

TEST_P(RunsNobodyWatches, ShowNoMessageAndEndWithTheExitCode) {
    const UnwatchedCase& c = GetParam();
    fs::path package;
    if (c.refusedWindows) {
        PackageRecipe recipe = RealRecipe(Stub32());
        recipe.allowedWindows = AllowedWindowsSet{};
        recipe.allowedWindows.bytes[kWin10 / 8] |= static_cast<uint8_t>(1u << (kWin10 % 8));  // Wine reports 7
        package = Place(BuildPackage(recipe));
    } else {
        package = Place(ReadFile(Stub32().stub));  // no package: damaged
    }
    LaunchOptions options;
    options.hiddenWindowStation = c.hiddenWindowStation;
    const WineRun run = Launch(package, c.arguments, options);
    ASSERT_TRUE(run.exited) << run.output << run.errors.substr(0, 2000);
    EXPECT_EQ(run.exitCode, c.refusedWindows ? kExitUnsupportedWindows : kExitDamagedPackage);
    EXPECT_EQ(run.messages.size(), c.shown ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    stub32, RunsNobodyWatches,
    ::testing::Values(UnwatchedCase{"Damaged_Interactive_Shown", "", false, false, true},
                      UnwatchedCase{"Damaged_SlashS_NotShown", "/s", false, false, false},
                      UnwatchedCase{"Damaged_SilentUpperCaseAmongOthers_NotShown", "a /SILENT b", false, false, false},
                      UnwatchedCase{"Damaged_HiddenWindowStation_NotShown", "", true, false, false},
                      UnwatchedCase{"Damaged_SilentlyIsNoSwitch_Shown", "/silently", false, false, true},
                      UnwatchedCase{"RefusedWindows_SlashS_NotShown", "/s", false, true, false},
                      UnwatchedCase{"RefusedWindows_HiddenWindowStation_NotShown", "", true, true, false}),
    [](const auto& info) { return info.param.name; });

// A copy that could not start stays, byte for byte what was decoded.
TEST_F(Stub32Run, CopyThatCannotStartStaysOnDisk) {
    PackageRecipe recipe = RealRecipe(Stub32());
    const std::string text = "this is not a program";
    recipe.engine64 = PayloadInput{Bytes(text.begin(), text.end()), {}, {}};
    const fs::path package = Place(BuildPackage(recipe));
    const fs::path temp = package.parent_path() / "t";
    fs::create_directories(temp);
    const WineRun run = Launch(package, "/temp " + WinePath(temp));
    EXPECT_EQ(run.exitCode, 193u);
    const auto copies = RunCopiesIn(temp);
    ASSERT_EQ(copies.size(), 1u) << "the copy, in its own folder, is gone";
    EXPECT_EQ(ReadFile(copies[0]), Bytes(text.begin(), text.end()));
}

// --- the road of one run --------------------------------------------------------

struct RoadCase {
    const LauncherBuild* launcher;
    User user;
};

class Road : public WineTest, public ::testing::WithParamInterface<RoadCase> {};

// Both engines on 64-bit Windows 10 22H2, no arguments: the 64-bit engine is
// chosen, the gate judges build 19045 by release code 2210, the engine is
// decoded as setup.exe into the user's temporary folder and started with
// the quoted package path, waited for and deleted.  A standard user's
// launcher starts it through the shell with "open" and " /noadmin" appended;
// an administrator's starts it directly, without the shell.  (The package
// path stays a drive path: see EngineStart_e2e_test.cpp for why the UNC
// road is not run under Wine.)
TEST_P(Road, BothEnginesOnWindows10NoArguments) {
    const RoadCase& c = GetParam();
    Windows("win10", {{"CurrentBuild", "19045"}, {"DisplayVersion", "22H2"}});
    PackageRecipe recipe = RealRecipe(*c.launcher);
    recipe.win10MaxRelease = 2210;
    const fs::path package = Place(BuildPackage(recipe));
    LaunchOptions options;
    options.user = c.user;
    const WineRun run = Launch(package, "", options);
    ASSERT_TRUE(run.exited) << run.output << run.errors.substr(0, 2000);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(run.messages.empty()) << run.messages[0].text;
    EXPECT_EQ(run.administratorTests, 1);

    const auto report = ReadReport(package);
    ASSERT_FALSE(report.empty()) << "the engine did not run";
    const std::string copy = report.at("self");
    EXPECT_TRUE(IsRunCopyPath(copy, WineTempFolder())) << copy;
    const bool standardUser = c.user == User::StandardUser;
    const std::string parameters = "\"" + WinePath(package) + "\"" + (standardUser ? " /noadmin" : "");
    if (standardUser) {
        ASSERT_EQ(run.shellCalls.size(), 1u) << run.errors.substr(0, 2000);
        EXPECT_EQ(run.shellCalls[0].verb, "open");
        EXPECT_EQ(run.shellCalls[0].file, copy);
        EXPECT_EQ(run.shellCalls[0].parameters, parameters);
    } else {
        EXPECT_TRUE(run.shellCalls.empty()) << "an administrator's engine went through the shell";
    }
    EXPECT_EQ(report.at("bits"), "64");
    EXPECT_EQ(report.at("admin"), standardUser ? "no" : "yes");
    EXPECT_EQ(report.at("commandline"), "\"" + copy + "\" " + parameters);
    EXPECT_EQ(report.at("cwd") + "\\", WinePath(package.parent_path()) + "\\");
    EXPECT_EQ(report.at("package_closed"), "yes") << "the launcher kept its package open";
    EXPECT_FALSE(fs::exists(LinuxPath(copy).parent_path())) << "the copy and its folder were not deleted";
}

INSTANTIATE_TEST_SUITE_P(Launchers, Road,
                         ::testing::Values(RoadCase{&Stub32(), User::StandardUser},
                                           RoadCase{&Stub32(), User::Administrator},
                                           RoadCase{&Stub64(), User::StandardUser},
                                           RoadCase{&Stub64(), User::Administrator}),
                         [](const auto& info) {
                             return info.param.launcher->name + "_" + NameOf(info.param.user);
                         });

// The user's arguments reach the engine re-quoted after the package path,
// the copy goes where /temp says, and the engine's exit code comes back.
TEST_F(Stub32Run, ArgumentsTemporaryFolderAndExitCode) {
    for (const uint32_t engineCode : {0u, 3010u}) {
        SCOPED_TRACE(engineCode);
        const fs::path package = Place(BuildPackage(RealRecipe(Stub32())));
        const fs::path temp = package.parent_path() / "my temp";
        fs::create_directories(temp);
        const std::string tail = "/silent \"/temp\" \"" + WinePath(temp) + "\" \"\" x\"y z\" /exit=" +
                                 std::to_string(engineCode);
        const WineRun run = Launch(package, tail);
        ASSERT_TRUE(run.exited) << run.output;
        EXPECT_EQ(run.exitCode, engineCode);
        EXPECT_TRUE(run.messages.empty()) << run.messages[0].text;
        // An administrator: /silent changes nothing but is passed on.
        EXPECT_TRUE(run.shellCalls.empty());

        const auto report = ReadReport(package);
        const std::string copy = report.at("self");
        EXPECT_TRUE(IsRunCopyPath(copy, WinePath(temp) + "\\")) << copy;
        EXPECT_EQ(report.at("commandline"), "\"" + copy + "\" \"" + WinePath(package) + "\" /silent /temp \"" +
                                                WinePath(temp) + "\" \"xy z\" /exit=" + std::to_string(engineCode));
        EXPECT_TRUE(FilesIn(temp).empty()) << "the temporary copy or its folder was not deleted";
    }
}

// Arguments with tabs, line breaks and trailing backslashes reach the engine
// whole, whichever rule it splits its command line by: the C runtime's
// (the test engine's argv, from CommandLineToArgvW) or the launcher's own
// (its command line split here with the launcher's code).
TEST_F(Stub32Run, ArgumentsComeBackWholeByEitherSplittingRule) {
    const fs::path package = Place(BuildPackage(RealRecipe(Stub32())));
    const std::vector<std::string> arguments = {"a\tb", "C:\\My Logs\\", "x y\\\\", "plain\\", "line\nbreak"};
    std::string tail;
    for (const std::string& a : arguments) tail += " \"" + a + "\"";
    const WineRun run = Launch(package, tail.substr(1));
    ASSERT_TRUE(run.exited) << run.output << run.errors.substr(0, 2000);
    const auto report = ReadReport(package);
    ASSERT_FALSE(report.empty()) << "the engine did not run";

    std::vector<std::string> expected = {WinePath(package)};
    expected.insert(expected.end(), arguments.begin(), arguments.end());
    std::vector<std::string> byCRuntime;
    for (int i = 1; report.count("arg" + std::to_string(i)); ++i) byCRuntime.push_back(report.at("arg" + std::to_string(i)));
    EXPECT_EQ(byCRuntime, expected) << report.at("commandline");

    std::u16string line;
    for (char ch : report.at("commandline")) line += static_cast<char16_t>(static_cast<unsigned char>(ch));
    std::vector<std::string> byLauncher;
    StubString word;
    for (int32_t i = 1; i <= ArgumentCount(line.c_str()); ++i) {
        Argument(line.c_str(), i, word);
        byLauncher.push_back(Narrow(std::u16string(word.Text())));
    }
    EXPECT_EQ(byLauncher, expected) << report.at("commandline");
}

TEST_F(Stub32Run, SignatureSpaceAfterThePackageIsAccepted) {
    Bytes package = BuildPackage(RealRecipe(Stub32()));
    package.resize(package.size() + 19416, 0x5A);
    const fs::path path = Place(package);
    const WineRun run = Launch(path, "");
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(run.messages.empty());
    EXPECT_EQ(ReadReport(path).at("package_closed"), "yes");
}

// minimumFileSize set: the launcher returns at once and leaves the copy,
// byte for byte the engine, in its folder in the default temporary folder.
TEST_F(Stub32Run, NoWaitLeavesTheCopyInTheTemporaryFolder) {
    PackageRecipe recipe = RealRecipe(Stub32());
    const Bytes probe = BuildPackage(recipe);
    recipe.minimumFileSize = static_cast<uint32_t>(probe.size());
    const fs::path package = Place(BuildPackage(recipe), "nowait-e2e.exe");
    const fs::path temp = PrefixTempFolder();
    for (const fs::path& old : RunCopiesIn(temp, "nowait-e2e.exe")) fs::remove_all(old.parent_path());
    const WineRun run = Launch(package, "/sleep=8000");
    // The engine writes its report only after its pause: no report yet
    // means the launcher did not wait for it.
    EXPECT_FALSE(fs::exists(package.string() + ".report")) << "the launcher waited for its engine";
    EXPECT_LT(run.seconds, 8.0) << "the launcher waited for its engine";
    EXPECT_EQ(run.exitCode, 0u);
    const auto copies = RunCopiesIn(temp, "nowait-e2e.exe");
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(ReadFile(copies[0]), ReadFile(Engine64Path()));
    // Let the engine finish before the folder goes away.
    for (int i = 0; i < 150 && !fs::exists(package.string() + ".report"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    fs::remove_all(copies[0].parent_path());
}

// --- processor width: WOW64 answered for real -----------------------------------

enum class Engine64 { kPresent, kNone, kRefuse64BitWindows };

struct WidthCase {
    std::string name;
    const LauncherBuild* launcher;
    bool engine32;
    Engine64 engine64;
    std::string arguments;
    std::string bitsRun;  // "32" or "64"; empty: refused with the wrong-width text
};

class ProcessorWidth : public WineTest, public ::testing::WithParamInterface<WidthCase> {};

TEST_P(ProcessorWidth, ChoosesTheEngineOrRefuses) {
    const WidthCase& c = GetParam();
    PackageRecipe recipe = RealRecipe(*c.launcher);
    if (!c.engine32) recipe.engine32.reset();
    if (c.engine64 != Engine64::kPresent) recipe.engine64.reset();
    recipe.refuse64BitWindows = c.engine64 == Engine64::kRefuse64BitWindows;
    const fs::path package = Place(BuildPackage(recipe));
    const WineRun run = Launch(package, c.arguments);
    ASSERT_TRUE(run.exited) << run.output << run.errors.substr(0, 2000);
    if (c.bitsRun.empty()) {
        EXPECT_EQ(run.exitCode, kExitWrongWidth);
        ASSERT_EQ(run.messages.size(), 1u);
        EXPECT_EQ(run.messages[0].text, Narrow(kWrongWidthText));
        EXPECT_FALSE(fs::exists(package.string() + ".report"));
    } else {
        EXPECT_EQ(run.exitCode, 0u);
        EXPECT_TRUE(run.messages.empty()) << run.messages[0].text;
        const auto report = ReadReport(package);
        ASSERT_FALSE(report.empty()) << "the engine did not run";
        EXPECT_EQ(report.at("bits"), c.bitsRun);
        // Wine is 64-bit Windows: a 32-bit engine runs under WOW64 too.
        EXPECT_EQ(report.at("wow64"), c.bitsRun == "32" ? "yes" : "no");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Packages, ProcessorWidth,
    ::testing::Values(
        // Only the 32-bit launcher asks IsWow64Process for real.
        WidthCase{"BothEngines_NoSwitch_Runs64_stub32", &Stub32(), true, Engine64::kPresent, "", "64"},
        WidthCase{"BothEngines_Slash32_Runs32_stub32", &Stub32(), true, Engine64::kPresent, "/32", "32"},
        WidthCase{"BothEngines_QuotedSlash32_Runs32_stub32", &Stub32(), true, Engine64::kPresent, "x \"/32\"", "32"},
        WidthCase{"BothEngines_Slash32Inside_Runs64_stub32", &Stub32(), true, Engine64::kPresent, "/320", "64"},
        WidthCase{"Only64BitEngine_Runs64_stub32", &Stub32(), false, Engine64::kPresent, "/32", "64"},
        WidthCase{"Only32BitEngine_Runs32_stub32", &Stub32(), true, Engine64::kNone, "", "32"},
        WidthCase{"Refuses64BitWindows_Refused_stub32", &Stub32(), true, Engine64::kRefuse64BitWindows, "", ""},
        WidthCase{"Refuses64BitWindows_Slash32_Refused_stub32", &Stub32(), true, Engine64::kRefuse64BitWindows,
                  "/32", ""},
        // Vendors of 64-bit-only packages ship stub64.exe.
        WidthCase{"Only64BitEngine_Runs64_stub64", &Stub64(), false, Engine64::kPresent, "", "64"},
        WidthCase{"BothEngines_Slash32_Runs32_stub64", &Stub64(), true, Engine64::kPresent, "/32", "32"},
        WidthCase{"Refuses64BitWindows_Refused_stub64", &Stub64(), true, Engine64::kRefuse64BitWindows, "", ""}),
    [](const auto& info) { return info.param.name; });

// --- the Windows version gate, on the registry values the tests set --------------

struct GateCase {
    std::string name;
    std::string wineVersion;
    std::map<std::string, std::string> values;  // CurrentVersion values, both views
    unsigned allowedBit;                        // the element the package allows (others cleared)
    uint16_t win10Max, win11Max;
    std::string refusedAs;                      // empty: goes on
    uint16_t win10Min = 1507;
};

class WindowsGate : public WineTest, public ::testing::WithParamInterface<GateCase> {};

TEST_P(WindowsGate, RefusesByNameOrGoesOn) {
    const GateCase& c = GetParam();
    Windows(c.wineVersion, c.values);
    PackageRecipe recipe = RealRecipe(Stub32());
    recipe.allowedWindows = AllowedWindowsSet{};
    recipe.allowedWindows.bytes[c.allowedBit / 8] |= static_cast<uint8_t>(1u << (c.allowedBit % 8));
    recipe.win10MinRelease = c.win10Min;
    recipe.win10MaxRelease = c.win10Max;
    recipe.win11MaxRelease = c.win11Max;
    const fs::path package = Place(BuildPackage(recipe));
    const WineRun run = Launch(package, "");
    ASSERT_TRUE(run.exited) << run.output << run.errors.substr(0, 2000);
    if (c.refusedAs.empty()) {
        EXPECT_EQ(run.exitCode, 0u);
        EXPECT_TRUE(run.messages.empty()) << run.messages[0].text;
        EXPECT_TRUE(fs::exists(package.string() + ".report"));
    } else {
        EXPECT_EQ(run.exitCode, kExitUnsupportedWindows);
        ASSERT_EQ(run.messages.size(), 1u);
        EXPECT_EQ(run.messages[0].text, "Setup does not run on " + c.refusedAs + ".");
    }
}

INSTANTIATE_TEST_SUITE_P(
    stub32, WindowsGate,
    ::testing::Values(
        GateCase{"WinXp_Refused", "winxp64", {}, kWin7, 9999, 9999, "Windows XP"},
        GateCase{"WinXp_Allowed", "winxp64", {}, kWinXp, 9999, 9999, ""},
        GateCase{"Win7_Refused", "win7", {}, kWinXp, 9999, 9999, "Windows 7"},
        GateCase{"Win10_22H2_ByBuild_Refused", "win10", {{"CurrentBuild", "19045"}, {"DisplayVersion", "22H2"}},
                 kWin10, 2111, 9999, "Windows 10 22H2 (2022 Update)"},
        GateCase{"Win10_22H2_ByBuild_Allowed", "win10", {{"CurrentBuild", "19045"}}, kWin10, 9999, 9999, ""},
        // 1507 has no ReleaseId: its build tells.
        GateCase{"Win10_1507_ByBuild_Refused", "win10", {{"CurrentBuild", "10240"}, {"ReleaseId", ""}}, kWin10, 9999,
                 9999, "Windows 10 1507 (Original Release)", 1809},
        GateCase{"Win10_2004_ByReleaseId_Refused", "win10", {{"CurrentBuild", "19041"}, {"ReleaseId", "2004"}},
                 kWin10, 1909, 9999, "Windows 10 2004 (May 2020 Update)"},
        GateCase{"Win11_23H2_Refused", "win10", {{"CurrentBuild", "22631"}, {"DisplayVersion", "23H2"}}, kWin11,
                 9999, 2209, "Windows 11 23H2 (2023 Update)"},
        GateCase{"Win11_24H2_Allowed", "win10", {{"CurrentBuild", "26100"}, {"DisplayVersion", "24H2"}}, kWin11,
                 9999, 9999, ""},
        GateCase{"Win11_24H2_Refused", "win10", {{"CurrentBuild", "26100"}, {"DisplayVersion", "24H2"}}, kWin11,
                 9999, 2310, "Windows 11 24H2"}),
    [](const auto& info) { return info.param.name; });

class RegistryView : public WineTest, public ::testing::WithParamInterface<const LauncherBuild*> {};

// On 64-bit Windows a 32-bit program reads HKLM\Software through
// Wow6432Node.  Windows keeps CurrentVersion alike in both views; here the
// two views differ on purpose, to show which one each launcher reads:
// stub32.exe the 32-bit view (Windows 10 21H2, allowed), stub64.exe the
// 64-bit one (22H2, refused).
TEST_P(RegistryView, EachLauncherReadsTheViewOfItsWidth) {
    const std::map<std::string, std::string> view32 = {{"CurrentBuild", "19044"}, {"DisplayVersion", "21H2"}};
    Windows("win10", {{"CurrentBuild", "19045"}, {"DisplayVersion", "22H2"}}, &view32);
    PackageRecipe recipe = RealRecipe(*GetParam());
    recipe.win10MaxRelease = 2111;
    const fs::path package = Place(BuildPackage(recipe));
    const WineRun run = Launch(package, "");
    ASSERT_TRUE(run.exited) << run.output << run.errors.substr(0, 2000);
    if (GetParam() == &Stub32()) {
        EXPECT_EQ(run.exitCode, 0u);
        EXPECT_TRUE(run.messages.empty()) << run.messages[0].text;
    } else {
        EXPECT_EQ(run.exitCode, kExitUnsupportedWindows);
        ASSERT_EQ(run.messages.size(), 1u);
        EXPECT_EQ(run.messages[0].text, "Setup does not run on Windows 10 22H2 (2022 Update).");
    }
}

INSTANTIATE_TEST_SUITE_P(Launchers, RegistryView, ::testing::Values(&Stub32(), &Stub64()), NameOf);

}  // namespace
}  // namespace e2e
