// Choosing the 32-bit or the 64-bit engine by the processor width of
// Windows: the whole decision, including when Windows is asked at all.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "FakeWindows.h"
#include "StubCore/Fatal.h"
#include "StubCore/PayloadSelection.h"
#include "TestPackages.h"

namespace {

constexpr uint32_t kNone = 0;
constexpr uint32_t kAt32 = 0x1000;
constexpr uint32_t kAt64 = 0x2000;

enum class Choice { Engine32, Engine64, Refused };

struct SelectionCase {
    const char* name;
    uint32_t offset32;
    uint32_t offset64;
    const char16_t* commandLine;
    bool wow64;
    Choice expected;
    bool probed;  // was Windows asked whether this is WOW64?
};

void PrintTo(const SelectionCase& c, std::ostream* os) { *os << c.name; }

const SelectionCase kCases[] = {
    // No 32-bit engine: only 64-bit Windows will do, "/32" or not.
    {"Only64On32BitWindows", kNone, kAt64, u"setup.exe", false, Choice::Refused, true},
    {"Only64On32BitWindowsWith32Switch", kNone, kAt64, u"setup.exe /32", false, Choice::Refused, true},
    {"Only64On64BitWindows", kNone, kAt64, u"setup.exe", true, Choice::Engine64, true},
    {"Only64On64BitWindowsWith32Switch", kNone, kAt64, u"setup.exe /32", true, Choice::Engine64, true},
    {"NoEngineAtAllOn32BitWindows", kNone, kNone, u"setup.exe", false, Choice::Refused, true},
    {"NoEngineRefusing64On32BitWindows", kNone, kRefuse64BitWindows, u"setup.exe", false, Choice::Refused, true},

    // A 32-bit package that refuses 64-bit Windows.
    {"Refuses64On32BitWindows", kAt32, kRefuse64BitWindows, u"setup.exe", false, Choice::Engine32, true},
    {"Refuses64On64BitWindows", kAt32, kRefuse64BitWindows, u"setup.exe", true, Choice::Refused, true},
    {"Refuses64On64BitWindowsWith32Switch", kAt32, kRefuse64BitWindows, u"setup.exe /32", true,
     Choice::Refused, true},
    // One below the refusal value is an ordinary offset: both engines present.
    {"OffsetJustBelowRefusalIsAnEngine", kAt32, 0xFFFFFFFEu, u"setup.exe", true, Choice::Engine64, true},

    // A 32-bit package that runs anywhere: Windows is not asked.
    {"Only32On64BitWindows", kAt32, kNone, u"setup.exe", true, Choice::Engine32, false},
    {"Only32On32BitWindows", kAt32, kNone, u"setup.exe", false, Choice::Engine32, false},
    {"Only32With32Switch", kAt32, kNone, u"setup.exe /32", true, Choice::Engine32, false},

    // Both engines.
    {"BothOn64BitWindows", kAt32, kAt64, u"setup.exe", true, Choice::Engine64, true},
    {"BothOn32BitWindows", kAt32, kAt64, u"setup.exe", false, Choice::Engine32, true},
    {"BothWith32SwitchAlone", kAt32, kAt64, u"setup.exe /32", true, Choice::Engine32, false},
    {"BothWith32SwitchFirst", kAt32, kAt64, u"setup.exe /32 /silent x", true, Choice::Engine32, false},
    {"BothWith32SwitchLast", kAt32, kAt64, u"setup.exe /silent x /32", true, Choice::Engine32, false},
    {"BothWith32SwitchBetween", kAt32, kAt64, u"setup.exe /silent /32 x", true, Choice::Engine32, false},
    {"BothWith32SwitchQuoted", kAt32, kAt64, u"setup.exe /silent \"/32\"", true, Choice::Engine32, false},
    {"BothWith32SwitchAfterTab", kAt32, kAt64, u"setup.exe\t/32\t", true, Choice::Engine32, false},
    {"BothWith32SwitchOn32BitWindows", kAt32, kAt64, u"setup.exe /32", false, Choice::Engine32, false},
    // Only the whole argument counts.
    {"BothWithLongerArgument", kAt32, kAt64, u"setup.exe /32bit", true, Choice::Engine64, true},
    {"BothWithPrefixedArgument", kAt32, kAt64, u"setup.exe x/32", true, Choice::Engine64, true},
    {"BothWithQuotedSpace", kAt32, kAt64, u"setup.exe \"/32 \"", true, Choice::Engine64, true},
    {"BothWithSplitSwitch", kAt32, kAt64, u"setup.exe /3 2", true, Choice::Engine64, true},
    {"BothWithDashSwitch", kAt32, kAt64, u"setup.exe -32", true, Choice::Engine64, true},
    {"BothWithFullWidthDigits", kAt32, kAt64, u"setup.exe /\uFF13\uFF12", true, Choice::Engine64, true},
    // The program name is not an argument.
    {"BothWith32AsProgramName", kAt32, kAt64, u"/32 /silent", true, Choice::Engine64, true},
};

class PayloadSelectionTable : public ::testing::TestWithParam<SelectionCase> {};

TEST_P(PayloadSelectionTable, Decision) {
    const SelectionCase& c = GetParam();
    PackageHeader header{};
    header.engine32 = {c.offset32, 321, 3210};
    header.engine64 = {c.offset64, 641, 6410};
    FakeWindows fake;
    fake.wow64 = c.wow64;

    const PayloadSelection selection = SelectPayload(header, c.commandLine, fake);

    EXPECT_EQ(selection.refused, c.expected == Choice::Refused);
    EXPECT_EQ(fake.wow64Probes, c.probed ? 1 : 0);
    if (c.expected == Choice::Refused) return;
    // All three fields of one entry, never mixed.
    const PayloadEntry& want = c.expected == Choice::Engine32 ? header.engine32 : header.engine64;
    EXPECT_EQ(selection.entry.offset, want.offset);
    EXPECT_EQ(selection.entry.packedSize, want.packedSize);
    EXPECT_EQ(selection.entry.unpackedSize, want.unpackedSize);
}

INSTANTIATE_TEST_SUITE_P(Cases, PayloadSelectionTable, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<SelectionCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(PayloadSelection, ThirtyTwoBitSwitchIsExact) {
    EXPECT_TRUE(Has32BitSwitch(u"setup.exe a \"/32\" b"));
    EXPECT_FALSE(Has32BitSwitch(u"setup.exe"));
    EXPECT_FALSE(Has32BitSwitch(u"/32"));
    EXPECT_FALSE(Has32BitSwitch(u"setup.exe /320 //32 /32/"));
}

// A whole run with both engines on 64-bit Windows and "/32": the 32-bit
// engine is the one written and started, and the switch goes on to it.
// (A nonzero minimumFileSize leaves the copy in place to be looked at.)
TEST(PayloadSelection, ThirtyTwoBitSwitchWholeRun) {
    FakeWindows fake;
    fake.commandLine = u"setup.exe /32";
    PackageRecipe recipe = SoundRecipe();
    recipe.minimumFileSize = 1;
    InstallPackage(fake, BuildPackage(recipe));
    const RunOutcome outcome = RunLauncherOn(fake);
    EXPECT_TRUE(outcome.returnedNormally);
    EXPECT_TRUE(fake.messages.empty());
    EXPECT_EQ(fake.wow64Probes, 0);
    ASSERT_EQ(fake.starts.size(), 1u);
    EXPECT_EQ(Narrow(fake.starts[0].parameters), "\"C:\\Downloads\\setup.exe\" /32 /noadmin");
    const std::u16string copy = u"C:\\Users\\user\\AppData\\Local\\Temp\\" + std::u16string(kFirstRunFolder) + u"\\setup.exe";
    ASSERT_TRUE(fake.HasFile(copy));
    EXPECT_EQ(fake.File(copy), EngineBytes(3000, 32));
}

TEST(PayloadSelection, WithoutSwitchWholeRunStartsThe64BitEngine) {
    FakeWindows fake;
    PackageRecipe recipe = SoundRecipe();
    recipe.minimumFileSize = 1;
    InstallPackage(fake, BuildPackage(recipe));
    const RunOutcome outcome = RunLauncherOn(fake);
    EXPECT_TRUE(outcome.returnedNormally);
    EXPECT_EQ(fake.wow64Probes, 1);
    const std::u16string copy = u"C:\\Users\\user\\AppData\\Local\\Temp\\" + std::u16string(kFirstRunFolder) + u"\\setup.exe";
    ASSERT_TRUE(fake.HasFile(copy));
    EXPECT_EQ(fake.File(copy), EngineBytes(5000, 64));
}

}  // namespace

namespace {

// A header without any engine: no 32-bit entry, and a 64-bit entry that is
// "none" or "refuse".  On 64-bit Windows the selection takes that entry; the
// run must end as a damaged package, not write and try to start an empty
// engine.
TEST(PayloadSelection, HeaderWithoutAnyEngineIsADamagedPackage) {
    for (const bool refuse64 : {false, true}) {
        SCOPED_TRACE(refuse64);
        FakeWindows fake;
        PackageRecipe recipe = SoundRecipe();
        recipe.engine32.reset();
        recipe.engine64.reset();
        recipe.refuse64BitWindows = refuse64;
        InstallPackage(fake, BuildPackage(recipe));
        const RunOutcome outcome = RunLauncherOn(fake);
        EXPECT_EQ(outcome.exitCode, kExitDamagedPackage);
        ASSERT_EQ(fake.messages.size(), 1u);
        EXPECT_EQ(fake.messages[0].text, kDamagedPackageMessage);
        EXPECT_TRUE(fake.starts.empty());
        EXPECT_FALSE(fake.HasFile(u"C:\\Users\\user\\AppData\\Local\\Temp\\setup.exe"));
    }
}

}  // namespace
