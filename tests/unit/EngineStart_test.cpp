// Starting the setup engine: directly or through the shell ("open" or
// "runas", with or without " /noadmin"), what each start receives, and the
// wait / release / delete sequence around it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "FakeWindows.h"
#include "TestPackages.h"

namespace {

// The copy, in the folder the launcher makes for it in the temporary folder.
const std::u16string kRunFolder = u"C:\\Users\\user\\AppData\\Local\\Temp\\" + std::u16string(kFirstRunFolder);
const std::u16string kCopy = kRunFolder + u"\\setup.exe";
const std::u16string kPackageArg = u"\"C:\\Downloads\\setup.exe\"";
const std::u16string kEngineStartText =
    u"The temporary copy of the setup package could not be executed.  Your system may have a software "
    u"restriction policy in place that blocks executables in the temporary files folder.  You can make "
    u"this installer use a different folder for its temporary files using the /temp command line "
    u"parameter followed by the path to a folder you can write to and run applications from.";

struct Launch {
    FakeWindows fake;
    PackageRecipe recipe = SoundRecipe();
    RunOutcome outcome;

    void Go(const std::u16string& arguments = u"") {
        fake.commandLine = u"\"C:\\Downloads\\setup.exe\"" + arguments;
        InstallPackage(fake, BuildPackage(recipe));
        outcome = RunLauncherOn(fake);
    }
    // The events from the hold of the copy on (the gate's registry key and
    // the like come before it).
    std::vector<std::string> EventsFromHold() const {
        auto it = std::find_if(fake.events.begin(), fake.events.end(),
                               [](const std::string& e) { return e.rfind("hold ", 0) == 0; });
        return std::vector<std::string>(it, fake.events.end());
    }
};

const std::string kHold = "hold " + Narrow(kCopy);
const std::string kRelease = "release " + Narrow(Upper(kCopy));
const std::string kDelete = "delete " + Narrow(kCopy);
const std::string kRemoveFolder = "remove folder " + Narrow(kRunFolder);

TEST(EngineStart, DecisionTable) {
    enum Kind { Direct, Open, OpenNoAdmin, RunAs };
    struct Row {
        const char* what;
        uint32_t major, minor;
        bool administrator;
        std::u16string arguments;  // as typed after the program name
        std::u16string passedOn;   // as they reach the engine
        uint8_t elevationMode;
        Kind expected;
        int administratorQueries;
        bool noErrorUi = false;  // a silent run: the shell must show no dialog of its own either
    };
    const std::vector<Row> rows = {
        // Before Vista there is nothing to elevate: always direct, no administrator test.
        {"XP, standard user, silent, mode 1", 5, 1, false, u" /silent", u" /silent", 1, Direct, 0},
        {"XP, no switches", 5, 1, false, u"", u"", 0, Direct, 0},
        {"2000, mode 2", 5, 0, false, u" /S", u" /S", 2, Direct, 0},
        // An administrator starts the engine directly; the switches are only passed on.
        {"Vista, administrator", 6, 0, true, u"", u"", 1, Direct, 1},
        {"10, administrator, silent, mode 1", 10, 0, true, u" /silent", u" /silent", 1, Direct, 1},
        {"10, administrator, mode 2", 10, 0, true, u" /S", u" /S", 2, Direct, 1},
        // A standard user on Vista or later goes through the shell.
        {"10, not silent, mode 0", 10, 0, false, u"", u"", 0, OpenNoAdmin, 1},
        {"10, not silent, mode 1", 10, 0, false, u" a b", u" a b", 1, OpenNoAdmin, 1},
        {"10, not silent, mode 2", 10, 0, false, u"", u"", 2, OpenNoAdmin, 1},
        {"Vista, not silent", 6, 0, false, u"", u"", 0, OpenNoAdmin, 1},
        {"unknown 12.0, not silent", 12, 0, false, u"", u"", 0, OpenNoAdmin, 1},
        {"10, silent, mode 2", 10, 0, false, u" /silent", u" /silent", 2, OpenNoAdmin, 1, true},
        {"10, /S first, mode 1", 10, 0, false, u" /S a b", u" /S a b", 1, RunAs, 1, true},
        {"10, /s between, mode 1", 10, 0, false, u" a /s b", u" a /s b", 1, RunAs, 1, true},
        {"10, /SILENT last, mode 1", 10, 0, false, u" a /SILENT", u" a /SILENT", 1, RunAs, 1, true},
        {"7, /Silent quoted, mode 1", 6, 1, false, u" \"/Silent\"", u" /Silent", 1, RunAs, 1, true},
        {"10, silent, mode 0", 10, 0, false, u" /silent", u" /silent", 0, Open, 1, true},
        {"10, silent, mode 3", 10, 0, false, u" /s", u" /s", 3, Open, 1, true},
        {"10, silent, mode 255", 10, 0, false, u" /silent", u" /silent", 255, Open, 1, true},
        // Only whole switches count.
        {"10, /silently, mode 1", 10, 0, false, u" /silently", u" /silently", 1, OpenNoAdmin, 1},
        {"10, /s2, mode 1", 10, 0, false, u" /s2", u" /s2", 1, OpenNoAdmin, 1},
        {"10, -silent, mode 1", 10, 0, false, u" -silent", u" -silent", 1, OpenNoAdmin, 1},
        {"10, '/silent ' with a space, mode 1", 10, 0, false, u" \"/silent \"", u" \"/silent \"", 1, OpenNoAdmin,
         1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Launch run;
        run.fake.version = {row.major, row.minor, 2};
        run.fake.administrator = row.administrator;
        run.recipe.elevationMode = row.elevationMode;
        run.Go(row.arguments);

        EXPECT_TRUE(run.outcome.returnedNormally);
        EXPECT_TRUE(run.fake.messages.empty());
        EXPECT_EQ(run.fake.administratorQueries, row.administratorQueries);
        ASSERT_EQ(run.fake.starts.size(), 1u);
        const StartRecord& start = run.fake.starts[0];
        const std::u16string arguments = kPackageArg + row.passedOn;
        if (row.expected == Direct) {
            EXPECT_FALSE(start.shell);
            EXPECT_EQ(start.commandLine, u"\"" + kCopy + u"\" " + arguments) << Narrow(start.commandLine);
            EXPECT_EQ(start.currentFolder, u"C:\\Downloads\\") << Narrow(start.currentFolder);
        } else {
            EXPECT_TRUE(start.shell);
            EXPECT_EQ(start.verb, row.expected == RunAs ? u"runas" : u"open") << Narrow(start.verb);
            EXPECT_EQ(start.file, kCopy) << Narrow(start.file);
            const std::u16string parameters = row.expected == OpenNoAdmin ? arguments + u" /noadmin" : arguments;
            EXPECT_EQ(start.parameters, parameters) << Narrow(start.parameters);
            EXPECT_EQ(start.noErrorUi, row.noErrorUi);
        }
        // The engine may open the package, and nobody may swap the copy
        // between its writing and its start.
        EXPECT_FALSE(start.packageOpen);
        EXPECT_TRUE(start.copyHeld);
    }
}

// After the start: release the copy, wait for the engine, delete the copy,
// then its folder.
TEST(EngineStart, WaitsThenDeletes) {
    struct Row {
        const char* what;
        bool administrator;
        std::vector<std::string> expected;
    };
    const Row rows[] = {
        {"shell start", false, {kHold, kRelease, "wait", "close process", kDelete, kRemoveFolder}},
        // Whether a direct start closes its process handle is its own affair.
        {"direct start", true, {kHold, kRelease, "wait", kDelete, kRemoveFolder}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Launch run;
        run.fake.administrator = row.administrator;
        run.fake.engineExitCode = 0;
        run.Go();
        ASSERT_EQ(run.fake.starts.size(), 1u);
        std::vector<std::string> events = run.EventsFromHold();
        if (!run.fake.starts[0].shell)
            events.erase(std::remove(events.begin(), events.end(), "close process"), events.end());
        EXPECT_EQ(events, row.expected);
        EXPECT_FALSE(run.fake.HasFile(kCopy));
        EXPECT_FALSE(run.fake.Exists(kRunFolder.c_str()));
        EXPECT_EQ(run.fake.OpenHandles(kCopy), 0);
        EXPECT_TRUE(run.outcome.returnedNormally);
    }
}

// With minimumFileSize set the launcher neither waits nor deletes: the
// engine keeps running on its own and the copy stays for it.
TEST(EngineStart, NonzeroMinimumFileSizeNeitherWaitsNorDeletes) {
    for (bool administrator : {false, true}) {
        SCOPED_TRACE(administrator ? "direct start" : "shell start");
        Launch run;
        run.fake.administrator = administrator;
        run.fake.engineExitCode = 3010;
        run.recipe.minimumFileSize = 1000;
        run.Go();
        ASSERT_EQ(run.fake.starts.size(), 1u);
        EXPECT_TRUE(run.outcome.returnedNormally);
        EXPECT_EQ(run.outcome.exitCode, 0u);
        EXPECT_TRUE(run.fake.HasFile(kCopy));
        const std::vector<std::string> events = run.EventsFromHold();
        EXPECT_EQ(std::count(events.begin(), events.end(), "wait"), 0);
        EXPECT_EQ(std::count(events.begin(), events.end(), kDelete), 0);
        EXPECT_EQ(std::count(events.begin(), events.end(), kRemoveFolder), 0);
        // Still released: the copy must not stay locked for the engine's whole life.
        EXPECT_EQ(std::count(events.begin(), events.end(), kRelease), 1);
        EXPECT_EQ(run.fake.OpenHandles(kCopy), 0);
    }
}

// A failed start ends with the engine-start message and the start's own
// error as exit code; a silent run (here the shell rows, asking for
// elevation) ends the same way without the message.
TEST(EngineStart, FailedStartShowsMessageAndLeavesTheCopy) {
    struct Row {
        const char* what;
        bool administrator;
        uint32_t error;
        uint32_t exitCode;
    };
    const Row rows[] = {
        {"direct, access denied", true, 5, 5},
        {"direct, no error given", true, 0, 1},
        {"shell, silent, elevation declined", false, 1223, 1223},
        {"shell, silent, blocked by policy", false, 1260, 1260},
        {"shell, silent, no error given", false, 0, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Launch run;
        run.fake.administrator = row.administrator;
        run.fake.startFails = true;
        run.fake.startError = row.error;
        if (!row.administrator) run.recipe.elevationMode = 1;
        run.Go(row.administrator ? u"" : u" /silent");
        ASSERT_EQ(run.fake.starts.size(), 1u);
        EXPECT_EQ(run.fake.starts[0].shell, !row.administrator);
        EXPECT_FALSE(run.outcome.returnedNormally);
        EXPECT_EQ(run.outcome.exitCode, row.exitCode);
        if (row.administrator) {
            ASSERT_EQ(run.fake.messages.size(), 1u);
            EXPECT_EQ(run.fake.messages[0].text, kEngineStartText);
            EXPECT_EQ(run.fake.messages[0].caption, run.fake.modulePath);
            EXPECT_EQ(run.fake.messages[0].style, 0x10u);
        } else {
            EXPECT_TRUE(run.fake.messages.empty()) << "a silent run showed a message";
        }
        EXPECT_TRUE(run.fake.HasFile(kCopy));
        EXPECT_TRUE(run.fake.File(kCopy) == run.recipe.engine64->engine);
        const std::vector<std::string> events = run.EventsFromHold();
        EXPECT_EQ(std::count(events.begin(), events.end(), "wait"), 0);
        EXPECT_EQ(std::count(events.begin(), events.end(), kDelete), 0);
        EXPECT_EQ(std::count(events.begin(), events.end(), kRemoveFolder), 0);
    }
}

// The shell may start the engine and give no process handle (it handed the
// file to another process): nothing to wait for, but the copy is still
// deleted (which may fail while the engine runs; that is not examined).
TEST(EngineStart, ShellStartWithoutProcessStillDeletes) {
    Launch run;
    run.fake.shellGivesNoProcess = true;
    run.Go();
    ASSERT_EQ(run.fake.starts.size(), 1u);
    EXPECT_TRUE(run.fake.starts[0].shell);
    EXPECT_TRUE(run.outcome.returnedNormally);
    EXPECT_TRUE(run.fake.messages.empty());
    const std::vector<std::string> events = run.EventsFromHold();
    EXPECT_EQ(std::count(events.begin(), events.end(), "wait"), 0);
    EXPECT_EQ(events, (std::vector<std::string>{kHold, kRelease, kDelete, kRemoveFolder}));
}

}  // namespace
