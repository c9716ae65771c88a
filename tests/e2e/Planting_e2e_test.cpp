// DLL planting: a web page can drop a DLL with a system library's name into
// the Downloads folder next to an installer.  The launcher must never load
// it, not even with Wine told to prefer such "native" copies.
#include <gtest/gtest.h>

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

// Runs launcher (a copy of it, as setup.exe, with a real package) from a
// drive-letter path with every planted library beside it; returns the names
// of those that were loaded.
std::vector<std::string> PlantedLibrariesLoaded(const fs::path& launcher) {
    const fs::path folder = TestFolder();
    const fs::path package = folder / "setup.exe";
    WriteFile(package, BuildPackage(RealRecipe(launcher)));
    const fs::path planted = fs::path(ENGINE64_PATH).parent_path() / "planted.dll";
    for (const char* name : kPlanted) fs::copy_file(planted, folder / (std::string(name) + ".dll"));
    fs::create_directories(folder / "temp");

    const WineRun run = Launch(package, "/temp " + WinePath(folder / "temp"), {{"WINEDLLOVERRIDES", Overrides()}});
    EXPECT_TRUE(run.exited) << run.output << run.errors.substr(0, 2000);
    EXPECT_TRUE(fs::exists(package.string() + ".report")) << "the engine did not run";
    std::vector<std::string> loaded;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().extension() == ".loaded") loaded.push_back(entry.path().filename().string());
    return loaded;
}

TEST(DllPlanting, LauncherLoadsNoLibraryFromItsOwnFolder) {
    const auto loaded = PlantedLibrariesLoaded(STUB64_PATH);
    EXPECT_TRUE(loaded.empty()) << "loaded from the Downloads folder: " << ::testing::PrintToString(loaded);
}

// The same test against a launcher built the way it must never be built,
// importing mpr.dll statically, shows that the test catches the fault.
TEST(DllPlanting, TestCatchesALauncherThatImportsMprStatically) {
    const fs::path vulnerable = fs::path(ENGINE64_PATH).parent_path() / "stub64-static-mpr.exe";
    ASSERT_TRUE(fs::exists(vulnerable));
    const auto loaded = PlantedLibrariesLoaded(vulnerable);
    bool mpr = false;
    for (const auto& name : loaded) mpr |= name.rfind("mpr.dll", 0) == 0 || name.rfind("MPR.dll", 0) == 0;
    EXPECT_TRUE(mpr) << ::testing::PrintToString(loaded);
}

}  // namespace
}  // namespace e2e
