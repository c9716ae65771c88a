#include <gtest/gtest.h>

#include "FakeWindows.h"
#include "StubCore/Fatal.h"
#include "TestPackages.h"

// A sound package runs from start to end: the 64-bit engine lands in the
// temporary folder, is started through the shell, waited for and deleted.
TEST(MainSequence, SoundPackageRunsToTheEnd) {
    FakeWindows fake;
    InstallPackage(fake, BuildPackage(SoundRecipe()));
    fake.engineExitCode = 3010;
    const RunOutcome outcome = RunLauncherOn(fake);
    EXPECT_TRUE(outcome.returnedNormally);
    EXPECT_EQ(outcome.exitCode, 3010u);
    ASSERT_EQ(fake.starts.size(), 1u);
    EXPECT_TRUE(fake.starts[0].shell);
    EXPECT_EQ(Narrow(fake.starts[0].parameters), "\"C:\\Downloads\\setup.exe\" /noadmin");
    EXPECT_FALSE(fake.HasFile(u"C:\\Users\\user\\AppData\\Local\\Temp\\setup.exe"));
}
