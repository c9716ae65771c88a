// Messages stored in the package: reading them by reference, putting the
// Windows name in place of the placeholder, and the two refusals that use
// them in whole launcher runs.
#include <gtest/gtest.h>

#include <string>

#include "FakeWindows.h"
#include "StubCore/Fatal.h"
#include "StubCore/PackageMessages.h"
#include "TestPackages.h"

namespace {

const std::u16string kPath = u"C:\\Downloads\\setup.exe";
constexpr uint32_t kTextAt = 300;  // where the test file keeps its text
constexpr uint32_t kSomeExitCode = 4242;

// A file of filler with text stored at kTextAt as UTF-16LE, tail bytes after it.
Bytes FileWithText(const std::u16string& text, size_t tail = 16) {
    Bytes file(kTextAt, 0xEE);
    for (char16_t c : text) {
        file.push_back(static_cast<uint8_t>(c));
        file.push_back(static_cast<uint8_t>(c >> 8));
    }
    file.insert(file.end(), tail, 0xEE);
    return file;
}

struct Shown {
    uint32_t exitCode = 0;
    bool exited = false;
};

Shown Show(FakeWindows& fake, const MessageRef& ref, const char16_t* replacement) {
    Shown shown;
    const Handle file = fake.OpenForReading(kPath.c_str());
    EXPECT_NE(file, InvalidHandle());
    const StubString name(replacement ? replacement : u"");
    try {
        ShowPackageMessage(fake, file, ref, replacement ? &name : nullptr, kSomeExitCode);
    } catch (const FakeExit& e) {
        shown.exited = true;
        shown.exitCode = e.code;
    }
    return shown;
}

struct ReplacementCase {
    const char16_t* stored;
    const char16_t* replacement;  // null: none given
    const char16_t* shown;
};

TEST(PackageMessage, Replacement) {
    const ReplacementCase cases[] = {
        {u"Setup does not run on %USER%.", u"Windows 7", u"Setup does not run on Windows 7."},
        {u"%USER% is not %USER%", u"Windows 7", u"Windows 7 is not Windows 7"},
        {u"On %USER% (that is, %user%)", u"Windows 8.1", u"On Windows 8.1 (that is, Windows 8.1)"},
        {u"%user% %USER% %user%", u"Windows Vista", u"Windows Vista Windows Vista Windows Vista"},
        {u"%USER%%user%", u"XP", u"XPXP"},
        {u"%%USER%%", u"XP", u"%XP%"},
        {u"%USER", u"XP", u"%USER"},
        // Only the two exact spellings count.
        {u"%User% %uSER% %USEr% % USER%", u"Windows 7", u"%User% %uSER% %USEr% % USER%"},
        // A name with non-ASCII letters, placed into a text with some.
        {u"\u00DCnsupported: %USER% \u2014 sorry", u"Windows 10 \u00E9dition",
         u"\u00DCnsupported: Windows 10 \u00E9dition \u2014 sorry"},
        // No replacement, or an empty one: the text as stored.
        {u"Needs %USER% or %user%", nullptr, u"Needs %USER% or %user%"},
        {u"Needs %USER% or %user%", u"", u"Needs %USER% or %user%"},
    };
    for (const ReplacementCase& c : cases) {
        FakeWindows fake;
        const std::u16string stored = c.stored;
        fake.AddFile(kPath, FileWithText(stored));
        const Shown shown = Show(fake, {kTextAt, static_cast<uint16_t>(stored.size())}, c.replacement);
        EXPECT_TRUE(shown.exited);
        EXPECT_EQ(shown.exitCode, kSomeExitCode);
        ASSERT_EQ(fake.messages.size(), 1u) << Narrow(stored);
        EXPECT_EQ(fake.messages[0].text, std::u16string(c.shown)) << Narrow(stored);
        EXPECT_EQ(fake.messages[0].caption, kPath);
        EXPECT_EQ(fake.messages[0].style, 0x10u);
    }
}

// What is read is exactly the referenced units: not the bytes before, not
// the bytes after, and a text ending at the last byte of the file is whole.
TEST(PackageMessage, ReadsExactlyTheReference) {
    struct Row {
        const char* name;
        uint32_t offset;
        uint16_t length;
        size_t tail;
        bool damaged;
        std::u16string shown;
    };
    const std::u16string text = u"Needs 64-bit Windows";
    const Row rows[] = {
        {"whole text", kTextAt, static_cast<uint16_t>(text.size()), 16, false, text},
        {"first six units", kTextAt, 6, 16, false, u"Needs "},
        {"from the seventh unit", kTextAt + 12, static_cast<uint16_t>(text.size() - 6), 16, false,
         u"64-bit Windows"},
        {"ending at the end of the file", kTextAt, static_cast<uint16_t>(text.size()), 0, false, text},
        // Empty: a box with no text, even where the offset points nowhere.
        {"length 0", kTextAt, 0, 16, false, u""},
        {"length 0 far past the end", 0x7FFFFFF0u, 0, 16, false, u""},
        {"one unit past the end", kTextAt, static_cast<uint16_t>(text.size() + 1), 0, true, u""},
        {"one byte past the end", kTextAt + 1, static_cast<uint16_t>(text.size()), 0, true, u""},
        {"starting past the end", 100000, 5, 16, true, u""},
        {"longest length", kTextAt, 0xFFFF, 16, true, u""},
    };
    for (const Row& r : rows) {
        FakeWindows fake;
        fake.AddFile(kPath, FileWithText(text, r.tail));
        const Shown shown = Show(fake, {r.offset, r.length}, u"Windows 7");
        EXPECT_TRUE(shown.exited) << r.name;
        EXPECT_EQ(shown.exitCode, r.damaged ? kExitDamagedPackage : kSomeExitCode) << r.name;
        ASSERT_EQ(fake.messages.size(), 1u) << r.name;
        EXPECT_EQ(fake.messages[0].text, r.damaged ? std::u16string(kDamagedPackageMessage) : r.shown) << r.name;
        EXPECT_EQ(fake.messages[0].caption, kPath) << r.name;
        EXPECT_EQ(fake.messages[0].style, 0x10u) << r.name;
    }
}

// -- whole runs ---------------------------------------------------------------------

const std::u16string kLauncher = u"D:\\Setups\\Product 7\\setup.exe";

void RunPackage(FakeWindows& fake, Bytes package, RunOutcome& outcome) {
    fake.modulePath = kLauncher;
    fake.commandLine = u"\"" + kLauncher + u"\"";
    fake.AddFile(kLauncher, std::move(package));
    outcome = RunLauncherOn(fake);
}

void ExpectOneMessage(const FakeWindows& fake, const RunOutcome& outcome, const std::u16string& text,
                      uint32_t exitCode) {
    EXPECT_FALSE(outcome.returnedNormally);
    EXPECT_EQ(outcome.exitCode, exitCode);
    ASSERT_EQ(fake.messages.size(), 1u);
    EXPECT_EQ(fake.messages[0].text, text);
    EXPECT_EQ(fake.messages[0].caption, kLauncher);
    EXPECT_EQ(fake.messages[0].style, 0x10u);
    EXPECT_TRUE(fake.starts.empty());
}

// A 32-bit package that refuses 64-bit Windows, on 64-bit Windows: its
// wrong-width text, shown as stored - no Windows name goes into it.
TEST(PackageMessageRun, WrongWidthShownWithoutReplacement) {
    PackageRecipe recipe = SoundRecipe();
    recipe.engine64.reset();
    recipe.refuse64BitWindows = true;
    recipe.wrongWidthMessage = u"This needs 32-bit Windows, not %USER% (%user%).";
    FakeWindows fake;
    fake.wow64 = true;
    RunOutcome outcome;
    RunPackage(fake, BuildPackage(recipe), outcome);
    ExpectOneMessage(fake, outcome, recipe.wrongWidthMessage, kExitWrongWidth);
}

// The width is judged before the Windows version: a package that also
// refuses this Windows shows the wrong-width text.
TEST(PackageMessageRun, WrongWidthComesBeforeTheVersionGate) {
    PackageRecipe recipe = SoundRecipe();
    recipe.engine64.reset();
    recipe.refuse64BitWindows = true;
    recipe.allowedWindows = AllowedWindowsSet{};
    FakeWindows fake;
    fake.wow64 = true;
    fake.version = {6, 1, 2};
    RunOutcome outcome;
    RunPackage(fake, BuildPackage(recipe), outcome);
    ExpectOneMessage(fake, outcome, kWrongWidthText, kExitWrongWidth);
}

// A package that can need its wrong-width text but stores none shows an
// empty box.
TEST(PackageMessageRun, EmptyWrongWidthTextShowsAnEmptyBox) {
    PackageRecipe recipe = SoundRecipe();
    recipe.engine32.reset();
    recipe.wrongWidthMessage.clear();
    FakeWindows fake;
    fake.wow64 = false;
    RunOutcome outcome;
    RunPackage(fake, BuildPackage(recipe), outcome);
    ExpectOneMessage(fake, outcome, u"", kExitWrongWidth);
}

// Windows 7 where the package does not allow it: the unsupported-Windows
// text with the name in both spellings of the placeholder.
TEST(PackageMessageRun, UnsupportedWindowsGetsTheNameInEveryPlaceholder) {
    PackageRecipe recipe = SoundRecipe();
    recipe.allowedWindows.bytes[0] &= static_cast<uint8_t>(~0x80);  // no Windows 7
    recipe.unsupportedWindowsMessage = u"%USER% is not supported.  Please upgrade from %user% or %USER%.";
    FakeWindows fake;
    fake.version = {6, 1, 2};
    RunOutcome outcome;
    RunPackage(fake, BuildPackage(recipe), outcome);
    ExpectOneMessage(fake, outcome,
                     u"Windows 7 is not supported.  Please upgrade from Windows 7 or Windows 7.",
                     kExitUnsupportedWindows);
}

// A reference past the end of the file, sealed into a sound checked block:
// the damaged-package message, not a partial text.
TEST(PackageMessageRun, TextPastTheEndOfTheFileIsDamage) {
    PackageRecipe recipe = SoundRecipe();
    recipe.allowedWindows.bytes[0] &= static_cast<uint8_t>(~0x80);
    PackageLayout layout;
    Bytes package = BuildPackage(recipe, &layout);
    const uint32_t past = static_cast<uint32_t>(package.size()) - 4;  // two units left, text needs more
    const size_t field = layout.packageOffset + 68;                  // unsupportedWindowsMessage.offset
    for (size_t i = 0; i < 4; ++i) package.at(field + i) = static_cast<uint8_t>(past >> (8 * i));
    ResealPackage(package);
    FakeWindows fake;
    fake.version = {6, 1, 2};
    RunOutcome outcome;
    RunPackage(fake, std::move(package), outcome);
    ExpectOneMessage(fake, outcome, kDamagedPackageMessage, kExitDamagedPackage);
}

}  // namespace
