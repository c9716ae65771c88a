// Opening and verifying the package: every way the launcher's own file can
// fail its checks, run through a whole launcher, and the size rule on its own
// for sizes no test file can reach.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>

#include "FakeWindows.h"
#include "StubCore/Fatal.h"
#include "StubCore/PackageFile.h"
#include "TestPackages.h"

namespace {

// A path with spaces and no fixed title in it: the caption must be exactly it.
const std::u16string kLauncher = u"E:\\Vendor Downloads\\Product Setup 2.1.exe";

// Field offsets inside the 24-byte locator at file offset 128.
constexpr size_t kPackageOffsetField = 0;
constexpr size_t kCheckedLengthField = 4;
constexpr size_t kCheckedCrcField = 8;
constexpr size_t kExpectedLowField = 12;
constexpr size_t kExpectedHighField = 16;
constexpr size_t kMinimumSizeField = 20;

void PutLocatorField(Bytes& file, size_t field, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) file.at(kLocatorOffset + field + i) = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t Size32(const Bytes& file) { return static_cast<uint32_t>(file.size()); }

enum class Expect { Runs, Damaged, Truncated };

struct VerifyCase {
    const char* name;
    // Changes the built package (and, rarely, the fake) before the run.
    std::function<void(Bytes& file, const PackageLayout& layout, FakeWindows& fake)> change;
    Expect expect;
};

void PrintTo(const VerifyCase& c, std::ostream* os) { *os << c.name; }

class PackageVerification : public ::testing::TestWithParam<VerifyCase> {};

TEST_P(PackageVerification, Outcome) {
    const VerifyCase& c = GetParam();
    FakeWindows fake;
    fake.modulePath = kLauncher;
    fake.commandLine = u"\"" + kLauncher + u"\"";
    PackageLayout layout;
    Bytes file = BuildPackage(SoundRecipe(), &layout);
    c.change(file, layout, fake);
    if (!file.empty()) fake.AddFile(kLauncher, file);

    const RunOutcome outcome = RunLauncherOn(fake);

    if (c.expect == Expect::Runs) {
        EXPECT_TRUE(outcome.returnedNormally);
        EXPECT_TRUE(fake.messages.empty()) << Narrow(fake.messages.at(0).text);
        EXPECT_EQ(fake.starts.size(), 1u);
        return;
    }
    const bool damaged = c.expect == Expect::Damaged;
    EXPECT_FALSE(outcome.returnedNormally);
    EXPECT_EQ(outcome.exitCode, damaged ? kExitDamagedPackage : kExitTruncatedPackage);
    ASSERT_EQ(fake.messages.size(), 1u);
    EXPECT_EQ(fake.messages[0].text,
              std::u16string(damaged ? kDamagedPackageMessage : kTruncatedPackageMessage));
    EXPECT_EQ(fake.messages[0].caption, kLauncher);
    EXPECT_EQ(fake.messages[0].style, 0x10u);
    EXPECT_TRUE(fake.starts.empty());
    EXPECT_EQ(fake.wow64Probes, 0) << "verification failures end the run before the width choice";
}

const VerifyCase kCases[] = {
    // -- the file and the locator ------------------------------------------------
    {"OwnFileCannotBeOpened", [](Bytes& f, const PackageLayout&, FakeWindows&) { f.clear(); },
     Expect::Damaged},
    {"LauncherWithoutPackage", [](Bytes& f, const PackageLayout&, FakeWindows&) { f = FakeStub(); },
     Expect::Damaged},
    // No package means no package: a size the file cannot have is not looked at.
    {"PackageOffsetZeroIsCheckedBeforeTheSize",
     [](Bytes& f, const PackageLayout&, FakeWindows&) {
         PutLocatorField(f, kPackageOffsetField, 0);
         PutLocatorField(f, kExpectedHighField, 0x7FFFFFFF);
     },
     Expect::Damaged},
    {"FileEndsInsideTheLocator", [](Bytes& f, const PackageLayout&, FakeWindows&) { f.resize(140); },
     Expect::Damaged},
    {"FileEndsOneByteBeforeTheLocatorEnds",
     [](Bytes& f, const PackageLayout&, FakeWindows&) { f.resize(kLocatorOffset + kLocatorSize - 1); },
     Expect::Damaged},

    // -- the size rule -------------------------------------------------------------
    {"OneByteShortOfExpectedSize", [](Bytes& f, const PackageLayout&, FakeWindows&) { f.pop_back(); },
     Expect::Truncated},
    {"ExactlyExpectedSize", [](Bytes&, const PackageLayout&, FakeWindows&) {}, Expect::Runs},
    {"SignatureAppendedAfterExpectedSize",
     [](Bytes& f, const PackageLayout&, FakeWindows&) { f.insert(f.end(), 19416, 0x30); },
     Expect::Runs},
    // The size rule comes first: a file cut inside its checked block is
    // reported as truncated, not as damaged.
    {"CutInsideTheCheckedBlockReportsTruncation",
     [](Bytes& f, const PackageLayout& l, FakeWindows&) { f.resize(l.packageOffset + 10); },
     Expect::Truncated},
    // A high half of 0xFFFFFFFF makes the expected size negative: any file is long enough.
    {"NegativeExpectedSizePasses",
     [](Bytes& f, const PackageLayout&, FakeWindows&) {
         PutLocatorField(f, kExpectedHighField, 0xFFFFFFFF);
         PutLocatorField(f, kExpectedLowField, 0xFFFFFFFF);
     },
     Expect::Runs},
    {"ExpectedSizeAbove4GiB",
     [](Bytes& f, const PackageLayout&, FakeWindows&) {
         PutLocatorField(f, kExpectedHighField, 1);
         PutLocatorField(f, kExpectedLowField, 0);
     },
     Expect::Truncated},
    // Low halves compare unsigned: 0x80000000 is 2 GiB, not a negative number.
    {"ExpectedLowHalfAbove2GiB",
     [](Bytes& f, const PackageLayout&, FakeWindows&) { PutLocatorField(f, kExpectedLowField, 0x80000000); },
     Expect::Truncated},
    // With minimumFileSize set the expected size is not looked at at all.
    {"MinimumSizeExactIgnoresExpectedSize",
     [](Bytes& f, const PackageLayout&, FakeWindows&) {
         PutLocatorField(f, kMinimumSizeField, Size32(f));
         PutLocatorField(f, kExpectedHighField, 1);
     },
     Expect::Runs},
    {"MinimumSizeOneByteLongerThanFile",
     [](Bytes& f, const PackageLayout&, FakeWindows&) { PutLocatorField(f, kMinimumSizeField, Size32(f) + 1); },
     Expect::Truncated},
    {"MinimumSizeSmallWhileExpectedSizeTooLarge",
     [](Bytes& f, const PackageLayout&, FakeWindows&) {
         PutLocatorField(f, kMinimumSizeField, 1);
         PutLocatorField(f, kExpectedLowField, Size32(f) + 1000);
     },
     Expect::Runs},
    {"MinimumSizeAbove2GiB",
     [](Bytes& f, const PackageLayout&, FakeWindows&) { PutLocatorField(f, kMinimumSizeField, 0x80000000); },
     Expect::Truncated},

    // -- the checked block -----------------------------------------------------------
    {"FlippedBitInFirstCheckedByte",
     [](Bytes& f, const PackageLayout& l, FakeWindows&) { f.at(l.packageOffset) ^= 0x01; }, Expect::Damaged},
    {"FlippedBitInsideThe32BitEngine",
     [](Bytes& f, const PackageLayout& l, FakeWindows&) { f.at(l.header.engine32.offset + 7) ^= 0x10; },
     Expect::Damaged},
    {"FlippedBitInLastCheckedByte",
     [](Bytes& f, const PackageLayout& l, FakeWindows&) {
         f.at(l.packageOffset + l.locator.checkedLength - 1) ^= 0x80;
     },
     Expect::Damaged},
    {"FlippedBitJustAfterTheCheckedBlock",
     [](Bytes& f, const PackageLayout& l, FakeWindows&) {
         f.at(l.packageOffset + l.locator.checkedLength) ^= 0x80;
     },
     Expect::Runs},
    {"FlippedBitInTheStoredCrc",
     [](Bytes& f, const PackageLayout& l, FakeWindows&) {
         PutLocatorField(f, kCheckedCrcField, l.locator.checkedCrc ^ 0x00010000);
     },
     Expect::Damaged},
    {"CheckedLengthZeroWithCrcZero",
     [](Bytes& f, const PackageLayout&, FakeWindows&) {
         PutLocatorField(f, kCheckedLengthField, 0);
         PutLocatorField(f, kCheckedCrcField, 0);
     },
     Expect::Runs},
    {"CheckedLengthZeroWithCrcNonzero",
     [](Bytes& f, const PackageLayout&, FakeWindows&) {
         PutLocatorField(f, kCheckedLengthField, 0);
         PutLocatorField(f, kCheckedCrcField, 0xFFFFFFFF);
     },
     Expect::Damaged},
    {"CheckedBlockToTheLastByteOfTheFile",
     [](Bytes& f, const PackageLayout& l, FakeWindows&) {
         PutLocatorField(f, kCheckedLengthField, Size32(f) - l.packageOffset);
         ResealPackage(f);
     },
     Expect::Runs},
    {"CheckedBlockOneByteBeyondTheFile",
     [](Bytes& f, const PackageLayout& l, FakeWindows&) {
         // The sum over the bytes that do exist, so only the short read can fail it.
         PutLocatorField(f, kCheckedLengthField, Size32(f) - l.packageOffset);
         ResealPackage(f);
         PutLocatorField(f, kCheckedLengthField, Size32(f) - l.packageOffset + 1);
     },
     Expect::Damaged},
    // Far beyond the file: the damaged message, not an attempt to allocate
    // 4 GiB (which would end the run with the out-of-memory exit instead).
    {"CheckedLengthFarBeyondTheFile",
     [](Bytes& f, const PackageLayout&, FakeWindows&) { PutLocatorField(f, kCheckedLengthField, 0xFFFFFFF0); },
     Expect::Damaged},
    {"CheckedLength2GiB",
     [](Bytes& f, const PackageLayout&, FakeWindows&) { PutLocatorField(f, kCheckedLengthField, 0x80000000); },
     Expect::Damaged},

    // -- the header --------------------------------------------------------------------
    {"FileTooShortToHoldTheHeader",
     [](Bytes& f, const PackageLayout&, FakeWindows&) {
         PutLocatorField(f, kPackageOffsetField, Size32(f) - (kHeaderSize - 1));
         PutLocatorField(f, kCheckedLengthField, 0);
         PutLocatorField(f, kCheckedCrcField, 0);
     },
     Expect::Damaged},
    {"PackageOffsetBeyondTheFile",
     [](Bytes& f, const PackageLayout&, FakeWindows&) {
         PutLocatorField(f, kPackageOffsetField, Size32(f) + 4096);
         PutLocatorField(f, kCheckedLengthField, 0);
         PutLocatorField(f, kCheckedCrcField, 0);
     },
     Expect::Damaged},
};

INSTANTIATE_TEST_SUITE_P(Cases, PackageVerification, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<VerifyCase>& info) {
                             return std::string(info.param.name);
                         });

// The size rule on 64-bit file sizes that no test file reaches.
TEST(SizeRule, Table) {
    struct Row {
        uint32_t expectedLow, expectedHigh, minimum;
        uint64_t fileSize;
        bool truncated;
    };
    const Row rows[] = {
        // expected size: one short, exact, longer
        {1000, 0, 0, 999, true},
        {1000, 0, 0, 1000, false},
        {1000, 0, 0, 1001, false},
        // low halves unsigned
        {0x80000000u, 0, 0, 0x7FFFFFFFu, true},
        {0x7FFFFFFFu, 0, 0, 0x80000000u, false},
        {0xFFFFFFFFu, 0, 0, 0xFFFFFFFEu, true},
        // high halves first, signed
        {0, 1, 0, 0xFFFFFFFFu, true},
        {0, 1, 0, 0x100000000ull, false},
        {0xFFFFFFFFu, 0, 0, 0x100000000ull, false},
        {5, 1, 0, 0x100000004ull, true},
        {0xFFFFFFFFu, 0xFFFFFFFFu, 0, 0, false},   // expected size -1
        {0, 0x80000000u, 0, 0, false},             // the most negative size
        {1, 0, 0, 0x8000000000000000ull, true},    // a size whose high half is negative
        // minimumFileSize: the low 32 bits of the size only, expected size ignored
        {0, 0, 1000, 999, true},
        {0, 0, 1000, 1000, false},
        {0, 0, 1000, 1001, false},
        {0, 0, 1000, 0x100000000ull + 999, true},
        {0, 0, 1000, 0x100000000ull + 1000, false},
        {0, 0, 0x80000000u, 0x7FFFFFFFu, true},
        {0, 0, 0x7FFFFFFFu, 0x80000000u, false},
        {0xFFFFFFFFu, 0x7FFFFFFFu, 1000, 1000, false},
        {0, 0, 1000, 0x100000000ull, true},
    };
    for (const Row& r : rows) {
        PackageLocator l{};
        l.packageOffset = 1024;
        l.expectedSizeLow = r.expectedLow;
        l.expectedSizeHigh = r.expectedHigh;
        l.minimumFileSize = r.minimum;
        EXPECT_EQ(IsTruncated(l, r.fileSize), r.truncated)
            << std::hex << "expected " << r.expectedHigh << ":" << r.expectedLow << ", minimum " << r.minimum
            << ", file size " << r.fileSize;
    }
}

}  // namespace
