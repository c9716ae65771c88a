// The real stub64.exe under Wine, on packages made by the package writer,
// with report-engine.exe as the setup engine.
#include <gtest/gtest.h>

#include "StubCore/Fatal.h"
#include "TestPackages.h"
#include "WineHarness.h"

namespace e2e {
namespace {

const std::string kDamaged = Narrow(kDamagedPackageMessage);
const std::string kTruncated = Narrow(kTruncatedPackageMessage);
const std::string kEngineStart = Narrow(kEngineStartMessage);

Bytes Stub() { return ReadFile(STUB64_PATH); }

// Writes the package as setup.exe in a fresh folder.
fs::path Place(const Bytes& package, const std::string& name = "setup.exe") {
    const fs::path path = TestFolder() / name;
    WriteFile(path, package);
    return path;
}

std::vector<fs::path> FilesIn(const fs::path& folder) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder)) files.push_back(entry.path().filename());
    return files;
}

class LauncherUnderWine : public ::testing::Test {
protected:
    void SetUp() override {
        EnsurePrefix();
        ASSERT_TRUE(fs::exists(STUB64_PATH)) << "build the win64 preset first";
    }
    void TearDown() override {
        // Leave the prefix as every test expects to find it.
        SetWindowsVersion("");
        for (const char* name : {"DisplayVersion", "ReleaseId"}) SetCurrentVersionValue(name, "");
        SetCurrentVersionValue("CurrentBuild", "7601");
    }
};

TEST_F(LauncherUnderWine, BareStubShowsTheDamagedPackageMessage) {
    const fs::path stub = Place(Stub());
    const WineRun run = Launch(stub, "");
    ASSERT_TRUE(run.exited) << run.output << run.errors;
    EXPECT_EQ(run.exitCode, kExitDamagedPackage);
    ASSERT_EQ(run.messages.size(), 1u);
    EXPECT_EQ(run.messages[0].text, kDamaged);
    EXPECT_EQ(run.messages[0].caption, WinePath(stub));
    EXPECT_EQ(run.messages[0].style, "00000010");
}

TEST_F(LauncherUnderWine, PackageOneByteShortIsTruncated) {
    Bytes package = BuildPackage(RealRecipe());
    package.pop_back();
    const WineRun run = Launch(Place(package), "");
    EXPECT_EQ(run.exitCode, kExitTruncatedPackage);
    ASSERT_EQ(run.messages.size(), 1u);
    EXPECT_EQ(run.messages[0].text, kTruncated);
}

// The whole road: verified, the 64-bit engine chosen, written to the folder
// given with /temp, started with the package path and the user's arguments
// re-quoted, waited for, deleted; the engine's exit code comes back.
TEST_F(LauncherUnderWine, RunsTheEngineAndPassesItsExitCodeThrough) {
    for (const uint32_t engineCode : {0u, 3010u}) {
        SCOPED_TRACE(engineCode);
        const fs::path package = Place(BuildPackage(RealRecipe()));
        const fs::path temp = package.parent_path() / "my temp";
        fs::create_directories(temp);
        const std::string tail = "/silent \"/temp\" \"" + WinePath(temp) + "\" \"\" x\"y z\" /exit=" +
                                 std::to_string(engineCode);
        const WineRun run = Launch(package, tail);
        ASSERT_TRUE(run.exited) << run.output;
        EXPECT_EQ(run.exitCode, engineCode);
        EXPECT_TRUE(run.messages.empty()) << run.messages[0].text;

        const auto report = ReadReport(package);
        const std::string copy = WinePath(temp / "setup.exe");
        EXPECT_EQ(report.at("commandline"), "\"" + copy + "\" \"" + WinePath(package) + "\" /silent /temp \"" +
                                                WinePath(temp) + "\" \"xy z\" /exit=" + std::to_string(engineCode));
        EXPECT_EQ(report.at("self"), copy);
        EXPECT_EQ(report.at("self_size"), std::to_string(Engine().size()));
        EXPECT_EQ(report.at("cwd") + "\\", WinePath(package.parent_path()) + "\\");
        EXPECT_EQ(report.at("package_closed"), "yes") << "the launcher kept its package open";
        EXPECT_TRUE(FilesIn(temp).empty()) << "the temporary copy was not deleted";
    }
}

TEST_F(LauncherUnderWine, SlashThirtyTwoChoosesThe32BitEntry) {
    const fs::path package = Place(BuildPackage(RealRecipe()));
    const WineRun run = Launch(package, "/32");
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(ReadReport(package).at("self_size"), std::to_string(PaddedEngine().size()));
}

TEST_F(LauncherUnderWine, SignatureSpaceAfterThePackageIsAccepted) {
    Bytes package = BuildPackage(RealRecipe());
    package.resize(package.size() + 19416, 0x5A);
    const fs::path path = Place(package);
    const WineRun run = Launch(path, "");
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(run.messages.empty());
    EXPECT_EQ(ReadReport(path).at("package_closed"), "yes");
}

// minimumFileSize set: the launcher returns at once and leaves the copy,
// byte for byte the engine, in the default temporary folder.
TEST_F(LauncherUnderWine, NoWaitLeavesTheCopyInTheTemporaryFolder) {
    PackageRecipe recipe = RealRecipe();
    Bytes probe = BuildPackage(recipe);
    recipe.minimumFileSize = static_cast<uint32_t>(probe.size());
    const fs::path package = Place(BuildPackage(recipe), "nowait-e2e.exe");
    const fs::path temp = PrefixPath() / "drive_c" / "users" / "root" / "Temp";
    fs::create_directories(temp);
    fs::remove(temp / "nowait-e2e.exe");
    const WineRun run = Launch(package, "/sleep=6000");
    // The engine writes its report only after its pause: no report yet
    // means the launcher did not wait for it.
    EXPECT_FALSE(fs::exists(package.string() + ".report")) << "the launcher waited for its engine";
    EXPECT_LT(run.seconds, 6.0) << "the launcher waited for its engine";
    EXPECT_EQ(run.exitCode, 0u);
    ASSERT_TRUE(fs::exists(temp / "nowait-e2e.exe"));
    EXPECT_EQ(ReadFile(temp / "nowait-e2e.exe"), Engine());
    // Let the engine finish before the folder goes away.
    for (int i = 0; i < 150 && !fs::exists(package.string() + ".report"); ++i)
        std::system("sleep 0.1");
    fs::remove(temp / "nowait-e2e.exe");
}

TEST_F(LauncherUnderWine, EngineThatCannotStartShowsTheStartMessage) {
    PackageRecipe recipe = RealRecipe();
    const std::string text = "this is not a program";
    recipe.engine64 = PayloadInput{Bytes(text.begin(), text.end()), {}, {}};
    const fs::path package = Place(BuildPackage(recipe));
    const fs::path temp = package.parent_path() / "t";
    fs::create_directories(temp);
    const WineRun run = Launch(package, "/temp " + WinePath(temp));
    ASSERT_EQ(run.messages.size(), 1u);
    EXPECT_EQ(run.messages[0].text.substr(0, 62), kEngineStart.substr(0, 62));
    EXPECT_EQ(run.exitCode, 193u) << "the start's own error, ERROR_BAD_EXE_FORMAT";
    ASSERT_TRUE(fs::exists(temp / "setup.exe")) << "a copy that could not start stays";
    EXPECT_EQ(ReadFile(temp / "setup.exe"), Bytes(text.begin(), text.end()));
}

TEST_F(LauncherUnderWine, PackageRefusing64BitWindowsShowsItsWrongWidthMessage) {
    PackageRecipe recipe = RealRecipe();
    recipe.engine64.reset();
    recipe.refuse64BitWindows = true;
    const WineRun run = Launch(Place(BuildPackage(recipe)), "/32");
    EXPECT_EQ(run.exitCode, kExitWrongWidth);
    ASSERT_EQ(run.messages.size(), 1u);
    EXPECT_EQ(run.messages[0].text, Narrow(kWrongWidthText));
}

struct GateCase {
    std::string name;
    std::string wineVersion;
    std::map<std::string, std::string> values;  // CurrentVersion values
    unsigned allowedBit;                        // the element the package allows (others cleared)
    uint16_t win10Max, win11Max;
    std::string refusedAs;                      // empty: goes on
};

class WindowsGateUnderWine : public LauncherUnderWine, public ::testing::WithParamInterface<GateCase> {};

TEST_P(WindowsGateUnderWine, RefusesByNameOrGoesOn) {
    const GateCase& c = GetParam();
    SetWindowsVersion(c.wineVersion);
    for (const auto& [name, value] : c.values) SetCurrentVersionValue(name, value);
    PackageRecipe recipe = RealRecipe();
    recipe.allowedWindows = AllowedWindowsSet{};
    recipe.allowedWindows.bytes[c.allowedBit / 8] |= static_cast<uint8_t>(1u << (c.allowedBit % 8));
    recipe.win10MaxRelease = c.win10Max;
    recipe.win11MaxRelease = c.win11Max;
    const fs::path package = Place(BuildPackage(recipe));
    const WineRun run = Launch(package, "");
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
    Versions, WindowsGateUnderWine,
    ::testing::Values(
        GateCase{"XpRefused", "winxp64", {}, kWin7, 9999, 9999, "Windows XP"},
        GateCase{"XpAllowed", "winxp64", {}, kWinXp, 9999, 9999, ""},
        GateCase{"Win7Refused", "win7", {}, kWinXp, 9999, 9999, "Windows 7"},
        GateCase{"Win10ByBuildRefused", "win10", {{"CurrentBuild", "19045"}, {"DisplayVersion", "22H2"}},
                 kWin10, 2111, 9999, "Windows 10 22H2 (2022 Update)"},
        GateCase{"Win10ByBuildAllowed", "win10", {{"CurrentBuild", "19045"}}, kWin10, 9999, 9999, ""},
        GateCase{"Win10ByReleaseIdRefused", "win10", {{"CurrentBuild", "19041"}, {"ReleaseId", "2004"}},
                 kWin10, 1909, 9999, "Windows 10 2004 (May 2020 Update)"},
        GateCase{"Win11Refused", "win10", {{"CurrentBuild", "22631"}, {"DisplayVersion", "23H2"}},
                 kWin11, 9999, 2209, "Windows 11 23H2 (2023 Update)"},
        GateCase{"Win11LaterAllowed", "win10", {{"CurrentBuild", "26100"}, {"DisplayVersion", "24H2"}},
                 kWin11, 9999, 9999, ""},
        GateCase{"Win11LaterRefused", "win10", {{"CurrentBuild", "26100"}, {"DisplayVersion", "24H2"}},
                 kWin11, 9999, 2310, "Windows 11 24H2"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace e2e
