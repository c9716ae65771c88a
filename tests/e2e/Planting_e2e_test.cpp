// DLL planting: a web page can drop a DLL with a system library's name into
// the Downloads folder next to an installer.  The launcher must never load
// it, not even with Wine told to prefer such "native" copies: neither an
// administrator's launcher, which starts its engine directly, nor a standard
// user's, which starts it through the shell (shell32 and what it loads).
#include <gtest/gtest.h>

#include <cctype>

#include "TestPackages.h"
#include "WineHarness.h"

namespace e2e {
namespace {

// Libraries the launcher itself, the libraries it loads, or the engine start
// would otherwise look for by bare name.  Under Wine, advapi32 and user32
// pull in version.dll and imm32.dll; the shell start uses more.
const char* const kPlanted[] = {"mpr", "version", "imm32", "uxtheme", "cryptbase", "propsys", "userenv",
                                "apphelp", "dwmapi", "profapi", "ntmarta", "sspicli", "secur32", "shlwapi"};

std::string Overrides() {
    std::string list;
    for (const char* name : kPlanted) list += (list.empty() ? "" : ",") + std::string(name);
    return list + "=n,b";
}

// Runs stub (a package made on it, as setup.exe) from a drive-letter path
// with every planted library of the launcher's width beside it; returns the
// names of those that were loaded.
std::vector<std::string> PlantedLibrariesLoaded(const LauncherBuild& launcher, const fs::path& stub,
                                                User user) {
    const fs::path folder = TestFolder();
    const fs::path package = folder / "setup.exe";
    LauncherBuild build = launcher;
    build.stub = stub;
    WriteFile(package, BuildPackage(RealRecipe(build)));
    for (const char* name : kPlanted) fs::copy_file(launcher.planted, folder / (std::string(name) + ".dll"));
    fs::create_directories(folder / "temp");

    LaunchOptions options;
    options.environment["WINEDLLOVERRIDES"] = Overrides();
    options.user = user;
    const WineRun run = Launch(package, "/temp " + WinePath(folder / "temp"), options);
    EXPECT_TRUE(run.exited) << run.output << run.errors.substr(0, 2000);
    EXPECT_EQ(run.shellCalls.size(), user == User::StandardUser ? 1u : 0u) << "not the road this test is for";
    EXPECT_TRUE(fs::exists(package.string() + ".report")) << "the engine did not run";
    std::vector<std::string> loaded;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().extension() == ".loaded") loaded.push_back(entry.path().filename().string());
    return loaded;
}

struct PlantingCase {
    const LauncherBuild* launcher;
    User user;
};

class DllPlanting : public ::testing::TestWithParam<PlantingCase> {};

TEST_P(DllPlanting, LauncherLoadsNoLibraryFromItsOwnFolder) {
    const auto loaded = PlantedLibrariesLoaded(*GetParam().launcher, GetParam().launcher->stub, GetParam().user);
    EXPECT_TRUE(loaded.empty()) << "loaded from the Downloads folder: " << ::testing::PrintToString(loaded);
}

// The same test against a launcher built the way it must never be built,
// importing mpr.dll statically, shows that the test catches the fault.
TEST_P(DllPlanting, TestCatchesALauncherThatImportsMprStatically) {
    ASSERT_TRUE(fs::exists(GetParam().launcher->vulnerable));
    const auto loaded =
        PlantedLibrariesLoaded(*GetParam().launcher, GetParam().launcher->vulnerable, GetParam().user);
    bool mpr = false;
    for (std::string name : loaded) {
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        mpr |= name.rfind("mpr.dll", 0) == 0;
    }
    EXPECT_TRUE(mpr) << ::testing::PrintToString(loaded);
}

INSTANTIATE_TEST_SUITE_P(Launchers, DllPlanting,
                         ::testing::Values(PlantingCase{&Stub32(), User::Administrator},
                                           PlantingCase{&Stub32(), User::StandardUser},
                                           PlantingCase{&Stub64(), User::Administrator},
                                           PlantingCase{&Stub64(), User::StandardUser}),
                         [](const auto& info) {
                             return info.param.launcher->name + "_" + NameOf(info.param.user);
                         });

// The engine's own folder is where Windows looks first for the libraries
// the engine imports, before its code runs.  The copy runs from a fresh
// folder of its own, so a version.dll (which the test engine imports)
// planted in the temporary folder, or beside the launcher when "/temp" last
// puts the copy there, is not loaded, whoever runs the package.
struct EngineFolderCase {
    std::string name;
    bool besideLauncher;  // "/temp" as the last argument
    User user;
};

class EnginePlanting : public WineTest, public ::testing::WithParamInterface<EngineFolderCase> {};

TEST_P(EnginePlanting, EngineLoadsNoLibraryFromTheFolderItsCopyIsWrittenTo) {
    const EngineFolderCase& c = GetParam();
    const fs::path package = Place(BuildPackage(RealRecipe(Stub32())));
    // stub32.exe starts the 64-bit engine on 64-bit Windows: plant that width.
    const fs::path planted = (c.besideLauncher ? package.parent_path() : PrefixTempFolder()) / "version.dll";
    fs::create_directories(planted.parent_path());
    fs::copy_file(Stub64().planted, planted, fs::copy_options::overwrite_existing);
    fs::remove(planted.string() + ".loaded");

    LaunchOptions options;
    options.environment["WINEDLLOVERRIDES"] = "version=n,b";
    options.user = c.user;
    const WineRun run = Launch(package, c.besideLauncher ? "/temp" : "", options);
    const bool loaded = fs::exists(planted.string() + ".loaded");
    fs::remove(planted);
    fs::remove(planted.string() + ".loaded");
    ASSERT_TRUE(run.exited) << run.output << run.errors.substr(0, 2000);
    const auto report = ReadReport(package);
    ASSERT_FALSE(report.empty()) << "the engine did not run";
    EXPECT_EQ(report.at("bits"), "64");
    EXPECT_FALSE(loaded) << "the engine loaded the version.dll planted in " << planted.parent_path();
    EXPECT_EQ(report.at("version_dll"), "C:\\windows\\system32\\version.dll");
    EXPECT_TRUE(IsRunCopyPath(report.at("self"),
                              c.besideLauncher ? WinePath(package.parent_path()) + "\\" : WineTempFolder()))
        << report.at("self");
}

INSTANTIATE_TEST_SUITE_P(
    stub32, EnginePlanting,
    ::testing::Values(EngineFolderCase{"TemporaryFolder_Administrator", false, User::Administrator},
                      EngineFolderCase{"TemporaryFolder_StandardUser", false, User::StandardUser},
                      EngineFolderCase{"BesideTheLauncher_Administrator", true, User::Administrator},
                      EngineFolderCase{"BesideTheLauncher_StandardUser", true, User::StandardUser}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace e2e
