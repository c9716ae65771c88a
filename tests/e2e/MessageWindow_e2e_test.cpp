// The launcher's message boxes as a user meets them: real windows on a
// (virtual) display, titled with the launcher's full path, waiting until the
// user presses Enter; only then does the launcher end, with its exit code.
#include <gtest/gtest.h>

#include "StubCore/Fatal.h"
#include "TestPackages.h"
#include "VirtualDisplay.h"
#include "WineHarness.h"

namespace e2e {
namespace {

struct WindowCase {
    std::string name;
    bool damaged;  // a bare launcher; else a package refusing this Windows
    uint32_t exitCode;
};

class MessageWindow : public ::testing::TestWithParam<WindowCase> {
protected:
    // A Wine session of its own, bound to this test's display.
    void SetUp() override {
        EnsurePrefix(DisplayPrefixPath());
        EndWineSession(DisplayPrefixPath());
    }
    void TearDown() override { EndWineSession(DisplayPrefixPath()); }
};

TEST_P(MessageWindow, BelongsToTheLauncherAndEndsItOnEnter) {
    const WindowCase& c = GetParam();
    const VirtualDisplay display;
    ASSERT_TRUE(display.Problem().empty()) << display.Problem();

    const fs::path package = TestFolder() / "My Setup.exe";
    if (c.damaged) {
        WriteFile(package, ReadFile(Stub32().stub));
    } else {
        // Wine reports Windows 7; this package allows only Windows 10.
        PackageRecipe recipe = RealRecipe(Stub32());
        recipe.allowedWindows = AllowedWindowsSet{};
        recipe.allowedWindows.bytes[kWin10 / 8] = 1u << (kWin10 % 8);
        WriteFile(package, BuildPackage(recipe));
    }
    LaunchOptions options;
    options.prefix = DisplayPrefixPath();
    options.environment["DISPLAY"] = display.Name();
    BackgroundRun background = StartInBackground(package, "", options);

    const auto window = display.WaitForWindow(WinePath(package), 60);
    if (!window) {
        const std::string windows = display.WindowList();
        const WineRun run = FinishBackgroundRun(background, 1);
        FAIL() << "no window titled " << WinePath(package) << " appeared; windows:\n"
               << windows << "runner: " << run.output << run.errors.substr(0, 2000);
    }
    // The window is the launcher's own, not the runner's or a leftover.
    const int owner = display.WindowProcess(*window);
    ASSERT_GT(owner, 0);
    EXPECT_NE(ProcessCommandLine(owner).find(WinePath(package)), std::string::npos)
        << "the window belongs to: " << ProcessCommandLine(owner);

    // It waits for the user: the launcher has not ended yet.
    EXPECT_FALSE(fs::exists(package.parent_path() / "runner.out") &&
                 ReadFile(package.parent_path() / "runner.out").size() > 0);
    display.PressEnter(*window);
    const WineRun run = FinishBackgroundRun(background, 60);
    ASSERT_TRUE(run.exited) << "the launcher did not end after Enter: " << run.output;
    EXPECT_EQ(run.exitCode, c.exitCode);
    ASSERT_EQ(run.messages.size(), 1u);
    EXPECT_EQ(run.messages[0].caption, WinePath(package));
    EXPECT_EQ(run.messages[0].text, c.damaged ? Narrow(kDamagedPackageMessage)
                                              : "Setup does not run on Windows 7.");
}

INSTANTIATE_TEST_SUITE_P(stub32, MessageWindow,
                         ::testing::Values(WindowCase{"DamagedPackage", true, kExitDamagedPackage},
                                           WindowCase{"UnsupportedWindows", false, kExitUnsupportedWindows}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace e2e
