// Where the temporary copy is written, run for real: a fresh folder for
// every run inside the temporary folder (or the /temp folder), with its own
// permissions, gone once the engine has ended.
#include <gtest/gtest.h>

#include "TestPackages.h"
#include "WineHarness.h"

namespace e2e {
namespace {

class RunFolder : public WineTest {};

// Two runs of one package: two folders, neither the temporary folder
// itself, both gone afterwards with nothing left in the temporary folder.
TEST_F(RunFolder, EveryRunHasAFolderOfItsOwnThatGoesAfterwards) {
    const fs::path package = Place(BuildPackage(RealRecipe(Stub32())));
    const auto before = FilesIn(PrefixTempFolder());
    std::vector<std::string> copies;
    for (const User user : {User::Administrator, User::StandardUser}) {
        SCOPED_TRACE(NameOf(user));
        LaunchOptions options;
        options.user = user;
        const WineRun run = Launch(package, "", options);
        ASSERT_TRUE(run.exited) << run.output << run.errors.substr(0, 2000);
        EXPECT_EQ(run.exitCode, 0u);
        const auto report = ReadReport(package);
        ASSERT_FALSE(report.empty()) << "the engine did not run";
        const std::string copy = report.at("self");
        EXPECT_TRUE(IsRunCopyPath(copy, WineTempFolder())) << copy;
        EXPECT_FALSE(fs::exists(LinuxPath(copy).parent_path())) << "the run folder was left";
        copies.push_back(copy);
        fs::remove(package.string() + ".report");
    }
    EXPECT_NE(copies[0], copies[1]) << "two runs, one folder";
    EXPECT_EQ(FilesIn(PrefixTempFolder()), before) << "something was left in the temporary folder";
}

// The folder's DACL as the engine reads it back.  Wine keeps the entries
// the launcher asked for, but gives the descriptor back without its
// protection flag and without the entry for BUILTIN\Administrators (which
// Wine's own user is implicitly): what can be checked here is that SYSTEM
// and the user have full control, inherited, and nobody else any access.
// The descriptor itself is checked in the unit tests.
TEST_F(RunFolder, FolderGrantsTheUserAndSystemOnly) {
    const fs::path package = Place(BuildPackage(RealRecipe(Stub32())));
    fs::create_directories(package.parent_path() / "temp");
    for (const std::string& tail : {std::string(), "/temp " + WinePath(package.parent_path() / "temp")}) {
        SCOPED_TRACE(tail);
        const WineRun run = Launch(package, tail);
        ASSERT_TRUE(run.exited) << run.output;
        const auto report = ReadReport(package);
        ASSERT_TRUE(report.count("folder_dacl")) << "the engine could not read its folder's DACL";
        const std::string dacl = report.at("folder_dacl");
        EXPECT_NE(dacl.find("(A;OICI;FA;;;SY)"), std::string::npos) << dacl;
        EXPECT_NE(dacl.find("(A;OICI;FA;;;S-1-5-21-"), std::string::npos) << dacl;
        for (const char* other : {";;;WD)", ";;;BU)", ";;;AU)", ";;;IU)", ";;;CO)"})
            EXPECT_EQ(dacl.find(other), std::string::npos) << other << " in " << dacl;
        fs::remove(package.string() + ".report");
    }
}

}  // namespace
}  // namespace e2e
