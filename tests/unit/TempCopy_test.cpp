// The temporary copy of the setup engine: which folder ("/temp" or the
// system's temporary folder), the run's own folder inside it (random name,
// protected DACL, never one that exists), which free name, and that a
// failed or short write leaves nothing behind.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "CRC32/CRC32.h"
#include "FakeWindows.h"
#include "StubCore/TempCopy.h"
#include "TestPackages.h"

namespace {

constexpr uint32_t kTemporaryCopyExit = 82;
const std::u16string kTemporaryCopyText =
    u"An error occurred while trying to create a temporary copy of the setup package.  Please make sure "
    u"that you have sufficient access rights to this computer to install software and that the Windows "
    u"TEMP folder can be written to.  You can make this installer use a different folder for its "
    u"temporary files using the /temp command line parameter followed by the path to a folder you can "
    u"write to and run applications from.";
const std::u16string kTemp = u"C:\\Users\\user\\AppData\\Local\\Temp\\";
// The run's own folder in it, as the launcher names it on FakeWindows.
const std::u16string kRunFolder = kTemp + kFirstRunFolder;
const std::u16string kRun = kRunFolder + u"\\";
const std::u16string kSecurity = u"D:P(A;OICI;FA;;;S-1-5-21-1004336348-1177238915-682003330-1001)"
                                 u"(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

std::u16string FolderFor(const std::u16string& arguments, const std::u16string& tempPath = kTemp) {
    FakeWindows fake;
    fake.tempPath = tempPath;
    // Word 0 is never the source of the launcher's folder.
    const std::u16string commandLine = u"\"E:\\elsewhere\\other.exe\" " + arguments;
    StubString launcher(fake.modulePath.c_str());
    StubString folder;
    ChooseTemporaryFolder(fake, commandLine.c_str(), launcher, folder);
    return folder.Text();
}

TEST(TempCopy, FolderFromTheTempSwitch) {
    struct Row {
        std::u16string arguments;
        std::u16string expected;
    };
    const std::u16string own = u"C:\\Downloads\\";
    const std::vector<Row> rows = {
        {u"", kTemp},
        {u"a b", kTemp},
        // "/temp" as the last argument: the launcher's own folder, nothing else looked at.
        {u"a /temp", own},
        {u"x /temp", own},
        {u"/temp", own},
        {u"/temp A /temp", own},
        {u"/temp D:\\t /temp", own},
        // Otherwise the argument after the "/temp" nearest the end.
        {u"/temp D:\\t x", u"D:\\t\\"},
        {u"/TEMP D:\\t\\", u"D:\\t\\"},
        {u"/Temp D:\\t", u"D:\\t\\"},
        {u"/tEMP \"D:\\my temp\" x", u"D:\\my temp\\"},
        {u"/temp A /temp B", u"B\\"},
        {u"/temp A /temp B x y", u"B\\"},
        {u"/temp /temp x", u"x\\"},
        // Only a switch of the same length counts.
        {u"/temp2 D:\\t x", kTemp},
        {u"/tempo D:\\t x", kTemp},
        {u"/tem D:\\t x", kTemp},
        {u"-temp D:\\t x", kTemp},
        // A trailing '/' is not a separator.
        {u"/temp D:/t/ x", u"D:/t/\\"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("arguments: " + Narrow(row.arguments));
        EXPECT_EQ(FolderFor(row.arguments), row.expected) << Narrow(FolderFor(row.arguments));
    }
}

TEST(TempCopy, FolderFromTheSystem) {
    EXPECT_EQ(FolderFor(u"", u""), u"C:\\");
    // A TEMP of 257 characters fits the buffer of MAX_PATH + 1 units.
    const std::u16string long257 = u"D:\\" + std::u16string(253, u'x') + u"\\";
    ASSERT_EQ(long257.size(), 257u);
    EXPECT_EQ(FolderFor(u"", long257), long257);
    EXPECT_EQ(FolderFor(u"a b", u""), u"C:\\");
    EXPECT_EQ(FolderFor(u"", u"D:\\Tmp"), u"D:\\Tmp\\");
    EXPECT_EQ(FolderFor(u"/temp D:\\t x", u""), u"D:\\t\\");
    EXPECT_EQ(FolderFor(u"a /temp", u""), u"C:\\Downloads\\");
}

std::u16string CopyPathFor(FakeWindows& fake, const std::u16string& folder, const std::u16string& launcher) {
    StubString f(folder.c_str()), l(launcher.c_str()), path;
    ChooseTemporaryCopyPath(fake, f, l, path);
    return path.Text();
}

TEST(TempCopy, FirstFreeName) {
    struct Row {
        const char* what;
        std::u16string launcher;
        std::vector<std::u16string> files, folders;
        std::u16string expected;
    };
    const std::u16string t = u"C:\\T\\";
    const std::vector<Row> rows = {
        {"free", u"D:\\dl\\setup.exe", {}, {}, t + u"setup.exe"},
        {"other names do not matter", u"D:\\dl\\setup.exe", {t + u"setup2.exe"}, {}, t + u"setup.exe"},
        {"two taken", u"D:\\dl\\setup.exe", {t + u"setup.exe", t + u"setup2.exe"}, {}, t + u"setup3.exe"},
        {"a folder counts", u"D:\\dl\\setup.exe", {}, {t + u"setup.exe"}, t + u"setup2.exe"},
        {"case does not matter", u"D:\\dl\\Setup.EXE", {t + u"SETUP.exe"}, {}, t + u"Setup2.EXE"},
        {"no extension", u"D:\\dl\\installer", {t + u"installer"}, {}, t + u"insta2ller"},
        {"no extension, twice", u"D:\\dl\\installer", {t + u"installer", t + u"insta2ller"}, {},
         t + u"insta3ller"},
        // Each candidate is built from the first one, never from the last.
        {"two digits",
         u"D:\\dl\\setup.exe",
         {t + u"setup.exe", t + u"setup2.exe", t + u"setup3.exe", t + u"setup4.exe", t + u"setup5.exe",
          t + u"setup6.exe", t + u"setup7.exe", t + u"setup8.exe", t + u"setup9.exe"},
         {},
         t + u"setup10.exe"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        FakeWindows fake;
        for (const auto& f : row.files) fake.AddFile(f, Bytes{1});
        for (const auto& f : row.folders) fake.AddFolder(f);
        const std::u16string path = CopyPathFor(fake, t, row.launcher);
        EXPECT_EQ(path, row.expected) << Narrow(path);
    }
}

// -- whole runs -----------------------------------------------------------------

struct WholeRun {
    FakeWindows fake;
    RunOutcome outcome;
    PackageRecipe recipe = SoundRecipe();
};

void Launch(WholeRun& run) {
    InstallPackage(run.fake, BuildPackage(run.recipe));
    run.outcome = RunLauncherOn(run.fake);
}

// With minimumFileSize set the launcher does not wait, so the copy stays and
// can be compared with the engine it was decoded from.
TEST(TempCopy, CopyIsTheEngineByteForByte) {
    struct Row {
        const char* what;
        std::u16string arguments;
        bool wow64;
        bool engine64;
    };
    const Row rows[] = {{"64-bit engine", u"", true, true},
                        {"32-bit engine by switch", u" /32", true, false},
                        {"32-bit Windows", u"", false, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        WholeRun run;
        run.recipe.minimumFileSize = 1;
        run.fake.wow64 = row.wow64;
        run.fake.commandLine += row.arguments;
        Launch(run);
        ASSERT_TRUE(run.outcome.returnedNormally);
        const std::u16string copy = kRun + u"setup.exe";
        ASSERT_TRUE(run.fake.HasFile(copy));
        const Bytes& expected = row.engine64 ? run.recipe.engine64->engine : run.recipe.engine32->engine;
        EXPECT_TRUE(run.fake.File(copy) == expected);
    }
}

// What others left in the temporary folder is neither used nor touched:
// the copy goes into the run's own folder, under the launcher's name.
TEST(TempCopy, TakenNamesAreLeftAlone) {
    WholeRun run;
    run.recipe.minimumFileSize = 1;
    run.fake.AddFile(kTemp + u"setup.exe", Bytes{'o', 'l', 'd'});
    run.fake.AddFolder(kTemp + u"setup2.exe");
    Launch(run);
    ASSERT_EQ(run.fake.starts.size(), 1u);
    EXPECT_EQ(run.fake.starts[0].file, kRun + u"setup.exe");
    EXPECT_TRUE(run.fake.File(kTemp + u"setup.exe") == (Bytes{'o', 'l', 'd'}));
    EXPECT_TRUE(run.fake.File(kRun + u"setup.exe") == run.recipe.engine64->engine);
}

// "/temp" last: the run folder goes beside the launcher, whose path comes
// from the module, not from word 0 of the command line.
TEST(TempCopy, OwnFolderComesFromTheModuleNotTheCommandLine) {
    WholeRun run;
    run.recipe.minimumFileSize = 1;
    run.fake.commandLine = u"\"E:\\elsewhere\\other.exe\" a /temp";
    Launch(run);
    ASSERT_EQ(run.fake.starts.size(), 1u);
    EXPECT_EQ(run.fake.starts[0].file, u"C:\\Downloads\\" + std::u16string(kFirstRunFolder) + u"\\setup.exe");
}

// -- the run's own folder ------------------------------------------------------------

// A run folder's name on FakeWindows: the random number in hexadecimal.
std::u16string Hex16(uint64_t value) {
    std::u16string name;
    for (int shift = 60; shift >= 0; shift -= 4) name += u"0123456789abcdef"[(value >> shift) & 15];
    return name;
}

// One folder per run, named with 64 random bits, made with a protected DACL
// for the user, SYSTEM and the administrators, in the folder chosen above.
TEST(RunFolder, RandomNameAndProtectedDaclInTheChosenFolder) {
    struct Row {
        const char* what;
        std::u16string arguments;
        std::u16string parent;
    };
    const Row rows[] = {
        {"temporary folder", u"", kTemp},
        {"/temp folder", u" /temp D:\\t x", u"D:\\t\\"},
        {"beside the launcher", u" a /temp", u"C:\\Downloads\\"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        WholeRun run;
        run.recipe.minimumFileSize = 1;
        run.fake.commandLine += row.arguments;
        run.fake.nextRandom = 0xfedcba9876543210ull;
        Launch(run);
        ASSERT_TRUE(run.outcome.returnedNormally);
        ASSERT_EQ(run.fake.createdFolders.size(), 1u);
        EXPECT_EQ(run.fake.createdFolders[0].path, row.parent + u"fedcba9876543210");
        EXPECT_EQ(run.fake.createdFolders[0].securityDescriptor, kSecurity)
            << Narrow(run.fake.createdFolders[0].securityDescriptor);
        ASSERT_EQ(run.fake.starts.size(), 1u);
        EXPECT_EQ(run.fake.starts[0].file, row.parent + u"fedcba9876543210\\setup.exe");
    }
}

TEST(RunFolder, SecurityDescriptorNamesTheUsersSid) {
    StubString sid(u"S-1-5-18"), text;
    RunFolderSecurity(sid, text);
    EXPECT_EQ(std::u16string(text.Text()), u"D:P(A;OICI;FA;;;S-1-5-18)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
}

// A name that exists, as a folder or a file, is never used: whoever made it
// may own it.  The next random name is tried, a bounded number of times.
TEST(RunFolder, ExistingNamesAreNeverUsed) {
    {
        SCOPED_TRACE("first name taken by someone's folder");
        WholeRun run;
        run.recipe.minimumFileSize = 1;
        run.fake.AddFolder(kRunFolder);
        run.fake.AddFile(kRun + u"version.dll", Bytes{'e', 'v', 'i', 'l'});
        Launch(run);
        ASSERT_TRUE(run.outcome.returnedNormally);
        ASSERT_EQ(run.fake.starts.size(), 1u);
        EXPECT_EQ(run.fake.starts[0].file, kTemp + kSecondRunFolder + u"\\setup.exe");
        EXPECT_FALSE(run.fake.HasFile(kRun + u"setup.exe"));
        EXPECT_TRUE(run.fake.File(kRun + u"version.dll") == (Bytes{'e', 'v', 'i', 'l'}));
    }
    {
        SCOPED_TRACE("first name taken by a file");
        WholeRun run;
        run.recipe.minimumFileSize = 1;
        run.fake.AddFile(kRunFolder, Bytes{1});
        Launch(run);
        ASSERT_EQ(run.fake.starts.size(), 1u);
        EXPECT_EQ(run.fake.starts[0].file, kTemp + kSecondRunFolder + u"\\setup.exe");
    }
}

// Every way the run folder cannot be had ends with the temporary-copy
// message, nothing created and nothing started.
TEST(RunFolder, NoFolderEndsWithTheTemporaryCopyMessage) {
    struct Row {
        const char* what;
        std::function<void(FakeWindows&)> trouble;
        size_t attempts;  // CreateFolder calls
    };
    const Row rows[] = {
        {"every name taken",
         [](FakeWindows& f) {
             for (uint64_t n = 0; n < 20; ++n) f.AddFolder(kTemp + Hex16(f.nextRandom + n));
         },
         8},
        {"folders cannot be created", [](FakeWindows& f) { f.folderCreationFails = true; }, 8},
        {"no random bits", [](FakeWindows& f) { f.randomFails = true; }, 0},
        {"no user SID", [](FakeWindows& f) { f.userSidFails = true; }, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        WholeRun run;
        row.trouble(run.fake);
        const size_t foldersBefore = run.fake.folders.size();
        Launch(run);
        EXPECT_FALSE(run.outcome.returnedNormally);
        EXPECT_EQ(run.outcome.exitCode, kTemporaryCopyExit);
        ASSERT_EQ(run.fake.messages.size(), 1u);
        EXPECT_EQ(run.fake.messages[0].text, kTemporaryCopyText);
        EXPECT_EQ(run.fake.createdFolders.size(), row.attempts);
        EXPECT_EQ(run.fake.folders.size(), foldersBefore);
        EXPECT_EQ(run.fake.files.size(), 1u) << "only the package";
        EXPECT_TRUE(run.fake.starts.empty());
    }
}

// The copy is created only where nothing is: a file that appears at its
// name after the name was found free (a race) is never opened or
// truncated, and nothing starts.
TEST(RunFolder, CopyIsNeverWrittenOverWhatAppearedAtItsName) {
    WholeRun run;
    run.fake.beforeCreateForWriting = [](FakeWindows& f, const std::u16string& path) {
        f.AddFile(path, Bytes{'e', 'v', 'i', 'l'});
    };
    Launch(run);
    EXPECT_EQ(run.outcome.exitCode, kTemporaryCopyExit);
    EXPECT_TRUE(run.fake.starts.empty());
    EXPECT_TRUE(run.fake.File(kRun + u"setup.exe") == (Bytes{'e', 'v', 'i', 'l'}));
}

// Makes bytes[at..at+4) such that the CRC-32 of the whole equals what it was
// before bytes were changed elsewhere: the CRC register runs backwards from
// the state the original reached after those four bytes.
void KeepCrcByPatching(Bytes& bytes, const Bytes& original, size_t at) {
    uint32_t table[256], top[256];
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = c & 1 ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        table[i] = c;
        top[c >> 24] = i;
    }
    auto state = [&](const Bytes& b, size_t n) {
        uint32_t c = 0xFFFFFFFFu;
        for (size_t i = 0; i < n; ++i) c = (c >> 8) ^ table[(c ^ b[i]) & 0xFF];
        return c;
    };
    uint32_t target = state(original, at + 4);
    for (int k = 0; k < 4; ++k) {
        const uint32_t j = top[target >> 24];
        target = ((target ^ table[j]) << 8) | j;
    }
    const uint32_t patch = target ^ state(bytes, at);
    for (int k = 0; k < 4; ++k) bytes[at + k] = static_cast<uint8_t>(patch >> (8 * k));
}

// A copy that cannot be made whole ends with the temporary-copy message and
// leaves nothing behind.  Windows will not start a file open for writing,
// so the copy is closed before it is held; whatever another process did to
// it in that moment is found through the held handle, and nothing starts.
TEST(TempCopy, FailedOrChangedCopiesEndWithTheTemporaryCopyMessageAndLeaveNothing) {
    struct Row {
        const char* what;
        bool uncreatable;
        std::optional<uint32_t> diskSpace;
        std::function<void(Bytes&)> changeBeforeHold;
    };
    const Row rows[] = {
        {"cannot be created", true, {}, {}},
        {"disk full after 100 bytes", false, 100, {}},
        {"disk full at once", false, 0, {}},
        {"one byte short", false, 4999, {}},
        {"changed: one byte flipped", false, {}, [](Bytes& b) { b[b.size() / 2] ^= 1; }},
        {"changed: one byte added", false, {}, [](Bytes& b) { b.push_back(0); }},
        {"changed: cut by one byte", false, {}, [](Bytes& b) { b.pop_back(); }},
        {"changed: emptied", false, {}, [](Bytes& b) { b.clear(); }},
        {"changed: same size and CRC-32, other bytes", false, {},
         [](Bytes& b) {
             const Bytes original = b;
             for (size_t i = 100; i < 200; ++i) b[i] = 0xCC;  // "the attacker's code"
             KeepCrcByPatching(b, original, 300);
             ASSERT_EQ(Crc32(b.data(), static_cast<int32_t>(b.size())),
                       Crc32(original.data(), static_cast<int32_t>(original.size())));
         }},
    };
    const std::u16string copy = kRun + u"setup.exe";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        WholeRun run;
        if (row.uncreatable) run.fake.uncreatable.insert(Upper(copy));
        run.fake.diskSpace = row.diskSpace;
        run.fake.changeBeforeHold = row.changeBeforeHold;
        Launch(run);
        EXPECT_FALSE(run.outcome.returnedNormally);
        EXPECT_EQ(run.outcome.exitCode, kTemporaryCopyExit);
        ASSERT_EQ(run.fake.messages.size(), 1u);
        EXPECT_EQ(run.fake.messages[0].text, kTemporaryCopyText);
        EXPECT_EQ(run.fake.messages[0].caption, run.fake.modulePath);
        EXPECT_EQ(run.fake.messages[0].style, 0x10u);
        EXPECT_FALSE(run.fake.HasFile(copy));
        EXPECT_FALSE(run.fake.Exists(kRunFolder.c_str())) << "the run folder was left";
        EXPECT_EQ(run.fake.files.size(), 1u) << "only the package";
        EXPECT_TRUE(run.fake.starts.empty()) << "a copy was started";
        EXPECT_EQ(run.fake.OpenHandles(copy), 0);
    }
    // Untouched in that moment, the same run goes on.
    WholeRun run;
    run.fake.changeBeforeHold = [](Bytes&) {};
    Launch(run);
    EXPECT_TRUE(run.outcome.returnedNormally);
    EXPECT_EQ(run.fake.starts.size(), 1u);
}

TEST(TempCopy, EngineExactlyFillingTheDiskIsWritten) {
    WholeRun run;
    run.recipe.minimumFileSize = 1;
    run.fake.diskSpace = 5000;  // the 64-bit engine's size
    Launch(run);
    EXPECT_TRUE(run.outcome.returnedNormally);
    EXPECT_TRUE(run.fake.messages.empty());
    EXPECT_TRUE(run.fake.File(kRun + u"setup.exe") == run.recipe.engine64->engine);
}

}  // namespace
