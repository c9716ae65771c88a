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

}  // namespace
}  // namespace e2e
