// mkpackage verify, and the same rules in inspect and extract: the first
// failure is named precisely, what the launcher would not notice passes, and
// what it accepts but runs wrongly is warned about.
#include <cstdio>
#include <functional>

#include "CliRunner.h"
#include "PackageCheck.h"
#include "PeImage.h"
#include "TestFiles.h"
#include "TestPackages.h"

using namespace mk;

namespace {

class Verify : public MkpackageTest {};

void Put16(Bytes& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// Header field offsets, from the package's start.
constexpr size_t kEngine32 = 22, kEngine64 = 34, kUnsupportedMessage = 68;

struct Damage {
    const char* name;
    std::function<void(Bytes&)> apply;  // on a sound package
    bool passes;
    std::vector<std::string> saying;    // on failure: parts of the reason
};
void PrintTo(const Damage& c, std::ostream* os) { *os << c.name; }

uint32_t At(const Bytes& b) { return LocatorOf(b).packageOffset; }

const Damage kDamages[] = {
    {"FlippedBitInHeader", [](Bytes& b) { b[At(b) + 7] ^= 0x04; }, false,
     {"CRC-32 of the checked block", "locator field checkedCrc"}},
    {"FlippedBitInEngine", [](Bytes& b) { b[HeaderOf(b).engine64.offset + 100] ^= 0x80; }, false,
     {"CRC-32 of the checked block"}},
    {"FlippedBitInCheckedData", [](Bytes& b) { b[HeaderOf(b).dataOffset + 99] ^= 0x01; }, false,
     {"CRC-32 of the checked block"}},
    // Engine data beyond the checked block is not the launcher's to check.
    {"FlippedBitInUncheckedData", [](Bytes& b) { b[HeaderOf(b).dataOffset + 100] ^= 0x01; }, true, {}},
    {"TruncatedByOneByte", [](Bytes& b) { b.pop_back(); }, false,
     {"size rule", "expectedFileSize", "truncated by 1 byte)"}},
    {"TruncatedIntoTheHeader", [](Bytes& b) { b.resize(At(b) + 10); }, false, {"size rule"}},
    {"TooShortForTheLocator", [](Bytes& b) { b.resize(140); }, false, {"no package", "too short for a package locator"}},
    {"NoPackage", [](Bytes& b) { Put32(b, kLocatorOffset, 0); }, false, {"packageOffset is 0"}},
    {"SignatureAppended", [](Bytes& b) { b.resize(b.size() + 19416, 0x30); }, true, {}},
    {"MinimumFileSizeAboveFile", [](Bytes& b) { Put32(b, kLocatorOffset + 20, static_cast<uint32_t>(b.size() + 1)); },
     false, {"minimumFileSize"}},
    // With minimumFileSize set, a file shorter than expectedFileSize passes
    // as long as it reaches that minimum.
    {"MinimumFileSizeAllowsShorterFile",
     [](Bytes& b) {
         b.resize(b.size() - 50);
         Put32(b, kLocatorOffset + 20, static_cast<uint32_t>(b.size()));
     },
     true, {}},
    {"CheckedBlockPastTheEnd", [](Bytes& b) { Put32(b, kLocatorOffset + 4, static_cast<uint32_t>(b.size())); },
     false, {"checkedLength", "runs past the end"}},
    {"PropertiesByte225",
     [](Bytes& b) {
         b[At(b)] = 225;
         ResealPackage(b);
     },
     false, {"LZMA properties", "225"}},
    {"PropertiesByte224IsLcPlusLpTooLarge",
     [](Bytes& b) {
         b[At(b)] = 224;
         ResealPackage(b);
     },
     false, {"lc 8 + lp 4 > 4"}},
    {"Dictionary2GiB",
     [](Bytes& b) {
         Put32(b, At(b) + 1, 0x80000000u);
         ResealPackage(b);
     },
     false, {"dictionary size", "2^31"}},
    {"UnpackedSizeOneMore",
     [](Bytes& b) {
         Put32(b, At(b) + kEngine64 + 8, HeaderOf(b).engine64.unpackedSize + 1);
         ResealPackage(b);
     },
     false, {"header field engine64", "5001"}},
    {"PayloadPastTheEnd",
     [](Bytes& b) {
         Put32(b, At(b) + kEngine32 + 4, static_cast<uint32_t>(b.size()));
         ResealPackage(b);
     },
     false, {"header field engine32", "runs past the end of the file"}},
    {"PackedSizeNegative",
     [](Bytes& b) {
         Put32(b, At(b) + kEngine32 + 4, 0x80000000u);
         ResealPackage(b);
     },
     false, {"engine32.packedSize", "2 GiB"}},
    {"CorruptStream",
     [](Bytes& b) {
         const PayloadEntry e = HeaderOf(b).engine32;
         for (uint32_t i = 20; i < e.packedSize; ++i) b[e.offset + i] = static_cast<uint8_t>(i * 37);
         ResealPackage(b);
     },
     false, {"header field engine32"}},
    // The launcher would write an empty file and fail to start it.
    {"UnpackedSizeZero",
     [](Bytes& b) {
         Put32(b, At(b) + kEngine32 + 8, 0);
         ResealPackage(b);
     },
     false, {"header field engine32.unpackedSize is 0", "empty file"}},
    {"NoEngineAtAll",
     [](Bytes& b) {
         Put32(b, At(b) + kEngine32, 0);
         Put32(b, At(b) + kEngine64, 0);
         ResealPackage(b);
     },
     false, {"engine32.offset and engine64.offset are both 0"}},
    {"MessagePastTheEnd",
     [](Bytes& b) {
         Put32(b, At(b) + kUnsupportedMessage, static_cast<uint32_t>(b.size() - 4));
         Put16(b, At(b) + kUnsupportedMessage + 4, 3);
         ResealPackage(b);
     },
     false, {"unsupportedWindowsMessage", "runs past the end of the file"}},
};

class VerifyDamage : public MkpackageTest, public ::testing::WithParamInterface<Damage> {};

TEST_P(VerifyDamage, FindsWhatTheLauncherWouldFind) {
    const Damage& c = GetParam();
    RunResult r = Mk({"build", "--stub", stub, "--engine32", Put("e32.bin", EngineBytes(3000, 32)), "--engine64",
                      Put("e64.bin", EngineBytes(5000, 64)), "--allow", "all", "--unsupported-text", "Not %USER%",
                      "--data", Put("data.bin", Bytes(500, 0xDA)), "--checked-data", "100", "-o", File("pkg.exe")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    Bytes package = ReadBytes(File("pkg.exe"));
    c.apply(package);
    const std::string damaged = Put("damaged.exe", package);
    r = Mk({"verify", damaged});
    if (c.passes) {
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_TRUE(Contains(r.out, "damaged.exe: OK")) << r.out;
        return;
    }
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_TRUE(Contains(r.err, "mkpackage verify: " + damaged + ": ")) << r.err;
    for (const std::string& part : c.saying) EXPECT_TRUE(Contains(r.err, part)) << part << "\n" << r.err;
    EXPECT_FALSE(Contains(r.out, ": OK\n")) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Packages, VerifyDamage, ::testing::ValuesIn(kDamages),
                         [](const auto& info) { return std::string(info.param.name); });

// The checks run in the launcher's order, and the lines show which passed.
TEST_F(Verify, VerifyReportsEachCheckInOrder) {
    ASSERT_EQ(Mk({"build", "--stub", stub, "--engine32", Put("e.bin", EngineBytes(3000)), "--refuse-64bit",
                  "--allow", "all", "-o", File("pkg.exe")})
                  .exitCode,
              0);
    const RunResult r = Mk({"verify", File("pkg.exe")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const char* order[] = {"OK locator", "OK size rule", "OK checked block", "OK header", "OK LZMA properties",
                           "OK engine32: ", "OK engine64: none, and 64-bit Windows is refused",
                           "OK wrongWidthMessage: empty", "OK unsupportedWindowsMessage: empty", "pkg.exe: OK"};
    size_t at = 0;
    for (const char* line : order) {
        const size_t found = r.out.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << "\n" << r.out;
        at = found;
    }
}

// Files that cannot hold a package are "no package", not a page of values
// read from a PE header nor "truncated": a bare launcher, a program whose PE
// header covers the locator bytes (an engine, /bin/ls), a locator pointing
// into the launcher image or contradicting itself.
TEST_F(Verify, VerifyAndInspectSayNoPackageForFilesThatCannotHoldOne) {
    Bytes program = ReadBytes(stub);
    std::string error;
    ASSERT_TRUE(MovePeHeader(program, 128, error)) << error;
    auto withLocator = [&](uint32_t packageOffset, uint32_t expectedSize) {
        Bytes bytes = ReadBytes(stub);
        PackageLocator l{};
        l.packageOffset = packageOffset;
        l.expectedSizeLow = expectedSize;
        uint8_t raw[kLocatorSize];
        SerializeLocator(l, raw);
        std::copy(raw, raw + kLocatorSize, bytes.begin() + kLocatorOffset);
        return bytes;
    };
    const size_t stubSize = ReadBytes(stub).size();
    const struct {
        const char* name;
        Bytes bytes;
        const char* saying;
    } cases[] = {
        {"bare.exe", ReadBytes(stub), "no package: locator field packageOffset is 0"},
        {"program.exe", program, "no package: its PE header starts at 128, over bytes 128-151"},
        {"elf", ReadBytes("/bin/ls"), "no package: the file is no Windows program"},
        {"inside.exe", withLocator(1024, 100000), "no package: locator field packageOffset 1024 lies inside the launcher image"},
        {"contradiction.exe", withLocator(static_cast<uint32_t>(stubSize), 100),
         "no package: the locator contradicts itself"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Put(c.name, c.bytes);
        for (const char* command : {"verify", "inspect"}) {
            const RunResult r = Mk({command, path});
            EXPECT_EQ(r.exitCode, 1) << Describe({command, path}, r);
            EXPECT_TRUE(Contains(r.err, path + ": " + c.saying)) << r.err;
            EXPECT_EQ(r.out, "") << "nothing is reported as if it were a package";
        }
    }
}

// A launcher without a package, a missing file and usage errors.
TEST_F(Verify, VerifyAndExtractRefuseWhatIsNoPackage) {
    RunResult r = Mk({"verify", stub});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Contains(r.err, stub + ": no package")) << r.err;
    r = Mk({"verify", File("absent.exe")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Contains(r.err, File("absent.exe") + ": cannot open")) << r.err;
    r = Mk({"extract", stub, "--engine64", "-o", File("x.exe")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_FALSE(fs::exists(File("x.exe")));

    const std::vector<std::vector<std::string>> usage = {
        {"verify"},
        {"verify", "a.exe", "b.exe"},
        {"verify", "--deep", "a.exe"},
        {"extract", stub, "-o", File("x.exe")},
        {"extract", stub, "--engine32", "--engine64", "-o", File("x.exe")},
        {"extract", stub, "--engine32"},
        {"inspect"},
        {"inspect", stub, "--yaml"},
    };
    for (const auto& args : usage) {
        r = Mk(args);
        EXPECT_EQ(r.exitCode, 2) << Describe(args, r);
        EXPECT_FALSE(r.err.empty());
    }
}

struct HugeBlock {
    const char* name;
    uint32_t checkedLength;
    uint32_t checkedCrc;
    bool passes;
};
void PrintTo(const HugeBlock& c, std::ostream* os) { *os << c.name; }

const HugeBlock kHugeBlocks[] = {
    {"Exactly2GiBSummingTo0", 0x80000000u, 0, true},
    {"Exactly2GiBWithAnotherCrc", 0x80000000u, 0x1234ABCDu, false},
    {"NearlyFourGiBSummingTo0", 0xF0000000u, 0, true},
    {"NearlyFourGiBWithAnotherCrc", 0xF0000000u, 0xFFFFFFFFu, false},
};

class CheckedBlockOf2GiBOrMore : public MkpackageTest, public ::testing::WithParamInterface<HugeBlock> {};

// Hand-made: a small package, its file extended with holes and its locator
// claiming the whole as checked block.
TEST_P(CheckedBlockOf2GiBOrMore, SumsTo0AsInTheLauncher) {
    const HugeBlock& c = GetParam();
    RunResult r = Mk({"build", "--stub", stub, "--engine64", Put("e.bin", EngineBytes(20000, 64)), "--allow", "all",
                      "--wrong-width-text", "w", "-o", File("small.exe")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    Bytes package = ReadBytes(File("small.exe"));
    PackageLocator l = LocatorOf(package);
    const uint64_t size = uint64_t{l.packageOffset} + c.checkedLength;
    l.checkedLength = c.checkedLength;
    l.checkedCrc = c.checkedCrc;
    l.expectedSizeLow = static_cast<uint32_t>(size);
    l.expectedSizeHigh = 0;
    SetLocator(package, l);
    MakeSparse(File("pkg.exe"), size, package);

    char crc[16];
    std::snprintf(crc, sizeof crc, "0x%08X", c.checkedCrc);
    r = Mk({"verify", File("pkg.exe")});
    if (c.passes) {
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_TRUE(Contains(r.out, "OK checked block: " + std::to_string(c.checkedLength) +
                                        " bytes, CRC-32 0x00000000"))
            << r.out;
        EXPECT_TRUE(Contains(r.out, "pkg.exe: OK")) << r.out;
    } else {
        EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
        EXPECT_TRUE(Contains(r.err, "is 0x00000000, locator field checkedCrc says " + std::string(crc))) << r.err;
        EXPECT_TRUE(Contains(r.err, "2 GiB or more to 0")) << r.err;
    }
    EXPECT_LT(r.peakRss, kSmallPeak) << "a block that sums to 0 is never read";

    r = Mk({"inspect", File("pkg.exe")});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, c.passes ? "CRC-32             passes (0x00000000)"
                                         : "CRC-32             FAILS: the checked block gives 0x00000000, the "
                                           "locator says " + std::string(crc)))
        << r.out;
    EXPECT_LT(r.peakRss, kSmallPeak);
}

INSTANTIATE_TEST_SUITE_P(Locators, CheckedBlockOf2GiBOrMore, ::testing::ValuesIn(kHugeBlocks),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Files that hold no package: extract says so as verify and inspect do, and
// a real program whose PE header is at 128 is no package to any of them.

TEST_F(Verify, ExtractSaysNoPackageForFilesThatCannotHoldOne) {
    const std::string program = ProgramWithPeHeaderAt128();
    ASSERT_TRUE(fs::exists(program)) << "the 32-bit test engine is not built: " << program;
    for (const char* command : {"verify", "inspect"}) {
        const RunResult r = Mk({command, program});
        EXPECT_EQ(r.exitCode, 1) << Describe({command, program}, r);
        EXPECT_TRUE(Contains(r.err, program + ": no package: its PE header starts at 128")) << r.err;
        EXPECT_EQ(r.out, "");
    }
    const struct {
        std::string path;
        const char* saying;
    } cases[] = {
        {stub, "no package: locator field packageOffset is 0"},
        {program, "no package: its PE header starts at 128"},
        {"/bin/ls", "no package: the file is no Windows program"},
        {Put("short.bin", Bytes(100, 'M')), "no package: the file is 100 bytes long"},
    };
    for (const auto& c : cases) {
        const std::vector<std::string> args = {"extract", c.path, "--engine32", "-o", File("x.exe")};
        const RunResult r = Mk(args);
        EXPECT_EQ(r.exitCode, 1) << Describe(args, r);
        EXPECT_TRUE(Contains(r.err, c.path + ": " + c.saying)) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(Listing(), std::vector<std::string>{"short.bin"}) << "no output, no temporary file";
    }
}

// ---------------------------------------------------------------------------
// What the launcher accepts but runs wrongly: verify and inspect pass the
// package and warn.

struct Oddity {
    const char* name;
    std::function<void(Bytes&)> apply;  // on a sound package; reseals what it changes
    const char* warning;                // nullptr: none
};
void PrintTo(const Oddity& c, std::ostream* os) { *os << c.name; }

void ChangeHeader(Bytes& b, const std::function<void(PackageHeader&)>& change) {
    PackageHeader h = HeaderOf(b);
    change(h);
    SetHeader(b, h);
    ResealPackage(b);
}

void Disallow(PackageHeader& h, unsigned element) {
    h.allowedWindows.bytes[element / 8] &= static_cast<uint8_t>(~(1u << (element % 8)));
}

// Only these Windows versions (elements) allowed.
void AllowOnly(PackageHeader& h, std::initializer_list<unsigned> elements) {
    h.allowedWindows = AllowedWindowsSet{};
    for (unsigned e : elements) h.allowedWindows.bytes[e / 8] |= static_cast<uint8_t>(1u << (e % 8));
}

// The sound package of these tests made by the package writer, changed in
// what the command line will not make: bytes after a stream's end, a
// 64-bit launcher that refuses 64-bit Windows.
Bytes Rebuilt(const std::function<void(PackageRecipe&)>& change) {
    PackageRecipe r;
    r.stub = ReadBytes(STUB32_PATH);
    r.engine32 = PayloadInput{EngineBytes(30000, 32), {}, {}};
    r.engine64 = PayloadInput{EngineBytes(50000, 64), {}, {}};
    r.allowedWindows = AllowedWindowsSet{{0xFF, 0x0F, 0, 0, 0, 0, 0, 0x80}};
    r.unsupportedWindowsMessage = std::u16string(1, u'u');
    r.setPeChecksum = true;
    change(r);
    return BuildPackage(r);
}

const Oddity kOddities[] = {
    {"SoundPackage", [](Bytes&) {}, nullptr},
    {"Engine64HoldsMoreThanUnpackedSize",
     [](Bytes& b) { ChangeHeader(b, [](PackageHeader& h) { h.engine64.unpackedSize /= 2; }); },
     "engine64: ", },
    {"Engine32HoldsMoreThanUnpackedSize",
     [](Bytes& b) { ChangeHeader(b, [](PackageHeader& h) { h.engine32.unpackedSize = 1000; }); },
     "engine32: "},
    // However little is cut, the stream goes on after unpackedSize.
    {"Engine64CutByOneByte",
     [](Bytes& b) { ChangeHeader(b, [](PackageHeader& h) { h.engine64.unpackedSize -= 1; }); },
     "engine64: the LZMA stream goes on after unpackedSize (49999 bytes): the launcher would run a cut engine"},
    {"Engine32CutByTwoBytes",
     [](Bytes& b) { ChangeHeader(b, [](PackageHeader& h) { h.engine32.unpackedSize -= 2; }); },
     "engine32: the LZMA stream goes on after unpackedSize (29998 bytes)"},
    {"Engine32CutByNinetyNineBytes",
     [](Bytes& b) { ChangeHeader(b, [](PackageHeader& h) { h.engine32.unpackedSize -= 99; }); },
     "engine32: the LZMA stream goes on after unpackedSize (29901 bytes)"},
    {"EndMarkerAfterEachEngine", [](Bytes& b) { b = Rebuilt([](PackageRecipe& r) { r.lzma.endMarker = true; }); },
     nullptr},
    {"Engine64CutByOneByteBeforeItsEndMarker",
     [](Bytes& b) {
         b = Rebuilt([](PackageRecipe& r) { r.lzma.endMarker = true; });
         ChangeHeader(b, [](PackageHeader& h) { h.engine64.unpackedSize -= 1; });
     },
     "engine64: the LZMA stream goes on after unpackedSize (49999 bytes)"},
    {"Engine32WithPackedBytesAfterItsEnd",
     [](Bytes& b) {
         b = Rebuilt([](PackageRecipe& r) {
             Bytes packed = CompressLzma1(EngineBytes(30000, 32), r.lzma);
             packed.insert(packed.end(), {1, 2, 3, 4, 5, 6, 7});
             r.engine32 = PayloadInput{{}, packed, 30000};
         });
     },
     "engine32: 7 packed bytes follow the end of the LZMA stream, inside packedSize"},
    // Packages that run on no Windows at all.
    {"NoWindowsAllowed", [](Bytes& b) { ChangeHeader(b, [](PackageHeader& h) { AllowOnly(h, {}); }); },
     "the package runs on no Windows: it allows no Windows version the launcher knows"},
    {"OnlyUnusedElementsAllowed", [](Bytes& b) { ChangeHeader(b, [](PackageHeader& h) { AllowOnly(h, {12, 40}); }); },
     "the package runs on no Windows: it allows no Windows version the launcher knows"},
    {"Only32BitWindowsWithoutA32BitEngine",
     [](Bytes& b) {
         ChangeHeader(b, [](PackageHeader& h) {
             AllowOnly(h, {kWin98, kWin2000});
             h.engine32 = {};
         });
     },
     "the package runs on no Windows: every Windows it allows (98, 2000) exists only as 32-bit Windows, and it has "
     "no 32-bit engine"},
    {"OnlyWindows11Refusing64BitWindows",
     [](Bytes& b) {
         ChangeHeader(b, [](PackageHeader& h) {
             AllowOnly(h, {kWin11});
             h.engine64 = {kRefuse64BitWindows, 0, 0};
         });
     },
     "the package runs on no Windows: every Windows it allows (11) exists only as 64-bit Windows, which it refuses"},
    {"The64BitLauncherRefusing64BitWindows",
     [](Bytes& b) {
         b = Rebuilt([](PackageRecipe& r) {
             r.stub = ReadBytes(kStub64);
             r.engine64.reset();
             r.refuse64BitWindows = true;
         });
     },
     "the package runs on no Windows: its launcher is a 64-bit program, which runs only on 64-bit Windows, and it "
     "refuses 64-bit Windows"},
    {"OnlyWindows11WithA64BitEngine", [](Bytes& b) { ChangeHeader(b, [](PackageHeader& h) { AllowOnly(h, {kWin11}); }); },
     nullptr},
    {"Only32BitWindowsWithA32BitEngine",
     [](Bytes& b) {
         ChangeHeader(b, [](PackageHeader& h) {
             AllowOnly(h, {kWin95});
             h.engine64 = {kRefuse64BitWindows, 0, 0};
         });
     },
     nullptr},
    {"Windows10RangeUpsideDown",
     [](Bytes& b) {
         ChangeHeader(b, [](PackageHeader& h) {
             h.win10MinRelease = 2004;
             h.win10MaxRelease = 1809;
         });
     },
     "Windows 10 is allowed, but its release range 2004 to 1809 is upside down"},
    {"Windows11RangeUpsideDown",
     [](Bytes& b) {
         ChangeHeader(b, [](PackageHeader& h) {
             h.win11MinRelease = 2310;
             h.win11MaxRelease = 2110;
         });
     },
     "Windows 11 is allowed, but its release range 2310 to 2110 is upside down"},
    // A range of a version the package refuses anyway changes nothing.
    {"Windows10RangeUpsideDownButNotAllowed",
     [](Bytes& b) {
         ChangeHeader(b, [](PackageHeader& h) {
             Disallow(h, kWin10);
             h.win10MinRelease = 2004;
             h.win10MaxRelease = 1809;
         });
     },
     nullptr},
    {"Windows11RangeUpsideDownButNotAllowed",
     [](Bytes& b) {
         ChangeHeader(b, [](PackageHeader& h) {
             Disallow(h, kWin11);
             h.win11MinRelease = 2310;
             h.win11MaxRelease = 2110;
         });
     },
     nullptr},
};

class LauncherRunsItWrongly : public MkpackageTest, public ::testing::WithParamInterface<Oddity> {};

TEST_P(LauncherRunsItWrongly, VerifyAndInspectWarn) {
    const Oddity& c = GetParam();
    RunResult r = Mk({"build", "--stub", stub, "--engine32", Put("e32.bin", EngineBytes(30000, 32)), "--engine64",
                      Put("e64.bin", EngineBytes(50000, 64)), "--allow", "all", "--unsupported-text", "u",
                      "-o", File("pkg.exe")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    Bytes package = ReadBytes(File("pkg.exe"));
    c.apply(package);
    const std::string path = Put("odd.exe", package);

    r = Mk({"verify", path});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(Contains(r.out, "odd.exe: OK")) << r.out;
    const RunResult text = Mk({"inspect", path}), json = Mk({"inspect", "--json", path});
    EXPECT_EQ(text.exitCode, 0) << text.err;
    if (!c.warning) {
        EXPECT_FALSE(Contains(r.err, "warning")) << r.err;
        EXPECT_FALSE(Contains(text.out, "warning")) << text.out;
        EXPECT_TRUE(Contains(json.out, "\"warnings\": []")) << json.out;
        return;
    }
    EXPECT_TRUE(Contains(r.err, std::string("mkpackage: warning: ") + c.warning)) << r.err;
    EXPECT_TRUE(Contains(text.out, std::string("warning: ") + c.warning)) << text.out;
    EXPECT_TRUE(Contains(json.out, std::string("\"warnings\": [\"") + c.warning)) << json.out;
    if (std::string(c.warning).rfind("engine", 0) == 0) {
        EXPECT_TRUE(Contains(r.err, "the launcher would run a cut engine")) << r.err;
        EXPECT_TRUE(Contains(text.out, "the launcher would run a cut engine")) << text.out;
    }
}

INSTANTIATE_TEST_SUITE_P(Headers, LauncherRunsItWrongly, ::testing::ValuesIn(kOddities),
                         [](const auto& info) { return std::string(info.param.name); });

// The 32-bit launcher holds the packed and the decoded engine in its
// address space at once: build (before it packs the engine), verify and
// inspect warn about an engine larger than it is sure to hold.  The same
// engine on the 64-bit launcher is no concern.
TEST_F(Verify, EnginesLargerThanThe32BitLauncherHoldsAreWarnedAbout) {
    const uint64_t size = kLargestEngineFor32BitLauncher + 1;
    MakeSparse(File("big.bin"), size);
    const std::string warning = " decodes to " + std::to_string(size) + " bytes, more than the " +
                                std::to_string(kLargestEngineFor32BitLauncher) +
                                " the 32-bit launcher is sure to hold (it holds the packed and the decoded engine at once";
    RunResult r = Mk({"build", "--engine64", File("big.bin"), "--allow", "all", "--wrong-width-text", "w",
                      "--preset", "0", "-o", File("pkg.exe")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Contains(r.err, "warning: --engine64 " + File("big.bin") + warning)) << r.err;
    r = Mk({"verify", File("pkg.exe")});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(Contains(r.err, "mkpackage: warning: engine64" + warning)) << r.err;
    r = Mk({"inspect", "--json", File("pkg.exe")});
    EXPECT_TRUE(Contains(r.out, "\"warnings\": [\"engine64" + warning)) << r.out;

    const Bytes package = ReadBytes(File("pkg.exe"));
    const PackageHeader h = HeaderOf(package);
    PackageRecipe on64;
    on64.stub = ReadBytes(kStub64);
    on64.engine64 = PayloadInput{{}, Bytes(package.begin() + h.engine64.offset,
                                            package.begin() + h.engine64.offset + h.engine64.packedSize),
                                 h.engine64.unpackedSize};
    on64.propertiesOverride = Bytes(h.lzmaProperties, h.lzmaProperties + 5);
    on64.allowedWindows = h.allowedWindows;
    on64.wrongWidthMessage = std::u16string(1, u'w');
    on64.setPeChecksum = true;
    r = Mk({"verify", Put("pkg64.exe", BuildPackage(on64))});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_FALSE(Contains(r.err, "warning")) << r.err;
}

}  // namespace
