// mkpackage build: round trips through inspect, verify and extract; options
// reaching the header; message texts; refusals of bad input; warnings; the
// built-in launchers; progress on a terminal.
#include <array>
#include <cstdlib>
#include <functional>
#include <map>
#include <tuple>

#include "CliRunner.h"
#include "PeImage.h"
#include "TestFiles.h"
#include "TestPackages.h"

using namespace mk;

namespace {

class Build : public MkpackageTest {};

// One package shape, built, inspected, verified and unpacked again.
struct RoundTrip {
    const char* name;
    bool engine32, engine64, refuse64;
    bool messages;
    size_t dataSize;
    const char* checkedData;        // nullptr: option not given
    uint32_t expectedCheckedData;   // bytes of engine data inside the checked block
    std::vector<std::string> extra;
    std::vector<const char*> inspectShows;
};
void PrintTo(const RoundTrip& c, std::ostream* os) { *os << c.name; }

const RoundTrip kRoundTrips[] = {
    {"BothEngines", true, true, false, true, 5000, "100", 100, {},
     {"engine32           offset", "engine64           offset", "100 of them checked"}},
    {"Only32", true, false, false, true, 0, nullptr, 0, {}, {"engine64           none\n"}},
    {"Only64", false, true, false, true, 0, nullptr, 0, {}, {"engine32           none\n"}},
    {"Refuse64", true, false, true, true, 0, nullptr, 0, {}, {"64-bit Windows is refused"}},
    {"EmptyMessages", true, true, false, false, 0, nullptr, 0, {},
     {"wrong-width text   empty", "unsupported text   empty"}},
    {"DataPartlyChecked", true, true, false, true, 20000, "7KiB", 7168, {}, {"7168 of them checked"}},
    {"DataAllChecked", false, true, false, true, 3000, "all", 3000, {}, {"3000 of them checked"}},
    {"DataNoneChecked", true, false, false, true, 3000, nullptr, 0, {}, {"3000 bytes of engine data, 0 of them"}},
    {"OtherLzmaSettings", true, true, false, true, 0, nullptr, 0,
     {"--preset", "1", "--extreme", "--dict", "64KiB", "--lc", "1", "--lp", "3", "--pb", "0", "--end-marker"},
     {"lc 1, lp 3, pb 0; dictionary 65536 bytes"}},
    {"MinimumFileSize", true, false, false, true, 1000, nullptr, 0, {"--minimum-file-size", "4096"},
     {"minimumFileSize    4096 (the size rule uses it"}},
};

class BuildRoundTrip : public MkpackageTest, public ::testing::WithParamInterface<RoundTrip> {};

TEST_P(BuildRoundTrip, InspectVerifyAndExtractGiveBackWhatWentIn) {
    const RoundTrip& c = GetParam();
    const Bytes e32 = EngineBytes(30000, 32), e64 = EngineBytes(50000, 64), data = EngineBytes(c.dataSize, 7);
    std::vector<std::string> args = {"build", "--stub", stub, "--allow", "all", "-o", File("pkg.exe")};
    if (c.engine32) args.insert(args.end(), {"--engine32", Put("e32.bin", e32)});
    if (c.engine64) args.insert(args.end(), {"--engine64", Put("e64.bin", e64)});
    if (c.refuse64) args.push_back("--refuse-64bit");
    if (c.messages)
        args.insert(args.end(), {"--wrong-width-text", "Falsche Breite \xE2\x80\x94 wrong width",
                                 "--unsupported-text", "Not for %USER%."});
    if (c.dataSize) args.insert(args.end(), {"--data", Put("data.bin", data)});
    if (c.checkedData) args.insert(args.end(), {"--checked-data", c.checkedData});
    args.insert(args.end(), c.extra.begin(), c.extra.end());

    RunResult r = Mk(args);
    ASSERT_EQ(r.exitCode, 0) << Describe(args, r);

    // The bytes on disk, read as the launcher reads them.
    const Bytes package = ReadBytes(File("pkg.exe"));
    const Bytes stubBytes = ReadBytes(stub);
    ASSERT_GT(package.size(), stubBytes.size());
    const PackageLocator l = LocatorOf(package);
    const PackageHeader h = HeaderOf(package);
    EXPECT_EQ(l.packageOffset, stubBytes.size());
    EXPECT_EQ(l.ExpectedFileSize(), static_cast<int64_t>(package.size()));
    EXPECT_EQ(l.packageOffset + l.checkedLength, h.dataOffset + c.expectedCheckedData);
    EXPECT_TRUE(std::equal(package.end() - data.size(), package.end(), data.begin()));
    EXPECT_EQ(h.engine32.offset != 0, c.engine32);
    if (c.refuse64) {
        EXPECT_EQ(h.engine64.offset, kRefuse64BitWindows);
    } else {
        EXPECT_EQ(h.engine64.offset != 0, c.engine64);
    }
    if (c.messages) {
        EXPECT_EQ(TextAt(package, h.wrongWidthMessage), u"Falsche Breite \u2014 wrong width");
        EXPECT_EQ(TextAt(package, h.unsupportedWindowsMessage), u"Not for %USER%.");
    } else {
        EXPECT_EQ(h.wrongWidthMessage.offset, 0u);
        EXPECT_EQ(h.wrongWidthMessage.length, 0u);
        EXPECT_EQ(h.unsupportedWindowsMessage.length, 0u);
    }

    r = Mk({"inspect", File("pkg.exe")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const char* shown : c.inspectShows) EXPECT_TRUE(Contains(r.out, shown)) << shown << "\n" << r.out;
    EXPECT_TRUE(Contains(r.out, "size rule          passes")) << r.out;
    EXPECT_TRUE(Contains(r.out, "CRC-32             passes")) << r.out;
    if (c.messages) {
        EXPECT_TRUE(Contains(r.out, "\"Falsche Breite \xE2\x80\x94 wrong width\"")) << r.out;
    }

    r = Mk({"verify", File("pkg.exe")});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(Contains(r.out, "pkg.exe: OK")) << r.out;

    for (const auto& [present, option, original] : {std::make_tuple(c.engine32, "--engine32", &e32),
                                                    std::make_tuple(c.engine64, "--engine64", &e64)}) {
        const std::string out = File(std::string("x") + option + ".exe");
        r = Mk({"extract", File("pkg.exe"), option, "-o", out});
        if (present) {
            ASSERT_EQ(r.exitCode, 0) << r.err;
            EXPECT_EQ(ReadBytes(out), *original) << option;
        } else {
            EXPECT_EQ(r.exitCode, 1) << option;
            EXPECT_TRUE(Contains(r.err, "has no " + std::string(option).substr(8, 2) + "-bit engine")) << r.err;
            EXPECT_FALSE(fs::exists(out));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, BuildRoundTrip, ::testing::ValuesIn(kRoundTrips),
                         [](const auto& info) { return std::string(info.param.name); });

// Each option lands in its header or locator field.
struct OptionCase {
    const char* name;
    std::vector<std::string> args;
    std::function<void(const PackageLocator&, const PackageHeader&)> check;
};
void PrintTo(const OptionCase& c, std::ostream* os) { *os << c.name; }

class BuildOptions : public MkpackageTest, public ::testing::WithParamInterface<OptionCase> {};

TEST_P(BuildOptions, ReachTheirField) {
    std::vector<std::string> args = {"build", "--stub", stub, "--engine32", Put("e.bin", EngineBytes(4000)),
                                     "--unsupported-text", "x", "-o", File("pkg.exe")};
    args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
    const RunResult r = Mk(args);
    ASSERT_EQ(r.exitCode, 0) << Describe(args, r);
    const Bytes package = ReadBytes(File("pkg.exe"));
    GetParam().check(LocatorOf(package), HeaderOf(package));
}

using Set = std::array<uint8_t, 8>;
Set SetOf(const PackageHeader& h) {
    Set s;
    std::copy(h.allowedWindows.bytes, h.allowedWindows.bytes + 8, s.begin());
    return s;
}

const OptionCase kOptionCases[] = {
    {"AllowAll", {"--allow", "all"},
     [](auto&, auto& h) { EXPECT_EQ(SetOf(h), (Set{0xFF, 0x0F, 0, 0, 0, 0, 0, 0x80})); }},
    {"AllowModern", {"--allow", "xp,vista,7,8,8.1,10,11,later"},
     [](auto&, auto& h) { EXPECT_EQ(SetOf(h), (Set{0xE0, 0x0F, 0, 0, 0, 0, 0, 0x80})); }},
    {"AllowOld", {"--allow", "95, 98,ME,nt4,2000"},
     [](auto&, auto& h) { EXPECT_EQ(SetOf(h), (Set{0x1F, 0, 0, 0, 0, 0, 0, 0})); }},
    {"AllowLaterOnly", {"--allow=Later"},
     [](auto&, auto& h) { EXPECT_EQ(SetOf(h), (Set{0, 0, 0, 0, 0, 0, 0, 0x80})); }},
    {"DefaultReleases", {"--allow", "all"},
     [](auto&, auto& h) {
         EXPECT_EQ(h.win10MinRelease, 1507);
         EXPECT_EQ(h.win10MaxRelease, 9999);
         EXPECT_EQ(h.win11MinRelease, 2110);
         EXPECT_EQ(h.win11MaxRelease, 9999);
         EXPECT_EQ(h.elevationMode, 0);
         EXPECT_EQ(h.lzmaProperties[0], 0x5D);  // lc 3, lp 0, pb 2
         EXPECT_EQ(h.lzmaProperties[3], 0x40);  // 4 MiB
     }},
    {"ReleaseRanges", {"--allow", "10,11", "--win10", "1809-", "--win11", "2210-2309"},
     [](auto&, auto& h) {
         EXPECT_EQ(h.win10MinRelease, 1809);
         EXPECT_EQ(h.win10MaxRelease, 9999);
         EXPECT_EQ(h.win11MinRelease, 2210);
         EXPECT_EQ(h.win11MaxRelease, 2309);
     }},
    {"ElevationRunas", {"--allow", "all", "--elevation", "runas"},
     [](auto&, auto& h) { EXPECT_EQ(h.elevationMode, 1); }},
    {"ElevationNumber", {"--allow", "all", "--elevation", "2"},
     [](auto&, auto& h) { EXPECT_EQ(h.elevationMode, 2); }},
    {"LzmaProperties", {"--allow", "all", "--lc", "0", "--lp", "2", "--pb", "1", "--dict=1MiB"},
     [](auto&, auto& h) {
         EXPECT_EQ(h.lzmaProperties[0], (1 * 5 + 2) * 9 + 0);
         EXPECT_EQ(h.lzmaProperties[1] | h.lzmaProperties[2] << 8 | h.lzmaProperties[3] << 16, 1 << 20);
     }},
    {"MinimumFileSize", {"--allow", "all", "--minimum-file-size", "4KiB"},
     [](auto& l, auto&) { EXPECT_EQ(l.minimumFileSize, 4096u); }},
};

INSTANTIATE_TEST_SUITE_P(Fields, BuildOptions, ::testing::ValuesIn(kOptionCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Message texts from files: the byte-order mark and one final line break go,
// everything else stays; 65535 UTF-16 units fit, 65536 do not.
TEST_F(Build, MessageFilesAndTheirLengthLimit) {
    const std::string engine = Put("e.bin", EngineBytes(2000));
    WriteText(dir / "msg.txt", "\xEF\xBB\xBFLine one\r\nLine two %USER%\r\n");
    RunResult r = Mk({"build", "--stub", stub, "--engine64", engine, "--allow", "10", "--unsupported-file",
                      File("msg.txt"), "--wrong-width-file", File("msg.txt"), "-o", File("a.exe")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Contains(r.err, "%USER% is replaced only in the unsupported-Windows message")) << r.err;
    const Bytes a = ReadBytes(File("a.exe"));
    EXPECT_EQ(TextAt(a, HeaderOf(a).unsupportedWindowsMessage), u"Line one\r\nLine two %USER%");

    // A 4-byte UTF-8 character is two UTF-16 units: 32767 of them and one
    // more ASCII letter make exactly 65535.
    std::string longest;
    for (int i = 0; i < 32767; ++i) longest += "\xF0\x9F\x98\x80";
    WriteText(dir / "longest.txt", longest + "x");
    r = Mk({"build", "--stub", stub, "--engine64", engine, "--allow", "all", "--unsupported-file",
            File("longest.txt"), "-o", File("b.exe")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(HeaderOf(ReadBytes(File("b.exe"))).unsupportedWindowsMessage.length, 65535u);

    WriteText(dir / "toolong.txt", longest + "xy");
    r = Mk({"build", "--stub", stub, "--engine64", engine, "--allow", "all", "--unsupported-file",
            File("toolong.txt"), "-o", File("c.exe")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Contains(r.err, "--unsupported-file " + File("toolong.txt"))) << r.err;
    EXPECT_TRUE(Contains(r.err, "65536 UTF-16 units")) << r.err;
    EXPECT_FALSE(fs::exists(File("c.exe")));

    // The same text given on the command line is a malformed value: a usage
    // error.  (A Windows command line holds at most 32767 characters.)
    if (UnderWine()) return;
    r = Mk({"build", "--stub", stub, "--engine64", engine, "--allow", "all", "--wrong-width-text",
            std::string(65536, 'x'), "-o", File("d.exe")});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(Contains(r.err, "--wrong-width-text: the text is 65536 UTF-16 units long")) << r.err;
    EXPECT_FALSE(fs::exists(File("d.exe")));
}

// Bad input is refused with the option or file named, and nothing is written.
struct Refusal {
    const char* name;
    int exitCode;
    std::vector<std::string> args;  // added to a sound command line; "STUB" etc. replaced below
    std::vector<std::string> saying;
};
void PrintTo(const Refusal& c, std::ostream* os) { *os << c.name; }

const Refusal kRefusals[] = {
    {"StubHeaderAt128", 1, {"--stub", "STUB128"}, {"--stub", "stub128.exe", "starts at 128, not at 256"}},
    {"StubNotPe", 1, {"--stub", "NOTPE"}, {"--stub", "notpe.bin", "not a PE image"}},
    {"StubAlreadyPackaged", 1, {"--stub", "PACKAGED"}, {"--stub", "packaged.exe", "bytes 128-151"}},
    {"StubMissing", 1, {"--stub", "MISSING"}, {"--stub", "missing.exe", "cannot open"}},
    {"EngineMissing", 1, {"--engine64", "MISSING"}, {"--engine64", "missing.exe", "cannot open"}},
    {"DataMissing", 1, {"--data", "MISSING"}, {"--data", "missing.exe"}},
    {"MessageFileMissing", 1, {"--unsupported-file", "MISSING"}, {"--unsupported-file", "missing.exe"}},
    {"TextNotUtf8", 2, {"--unsupported-text", "caf\xE9"}, {"--unsupported-text", "not valid UTF-8"}},
    // More than a version resource can hold: a malformed value, as bad UTF-8 is.
    {"VersionInfoTooLong", 2, {"--version-info", "Comments=" + std::string(33000, 'a')},
     {"--version-info", "too long"}},
    {"UnknownWindows", 2, {"--allow", "xp,win12"}, {"--allow", "unknown Windows version 'win12'"}},
    {"EmptyWindowsList", 2, {"--allow", ""}, {"--allow", "at least one"}},
    {"EmptyWindowsListItem", 2, {"--allow", "7,,8"}, {"--allow '7,,8' has an empty item"}},
    {"OnlyCommas", 2, {"--allow", ","}, {"--allow", "empty item"}},
    {"ReleaseRangeUpsideDown", 2, {"--win10", "2004-1909"}, {"--win10", "upside down"}},
    {"ReleaseNotANumber", 2, {"--win11", "21H2-"}, {"--win11", "21H2"}},
    {"ReleaseTooLarge", 2, {"--win11", "2110-10000"}, {"--win11", "too large"}},
    {"ReleaseNoDash", 2, {"--win10", "1809"}, {"--win10", "MIN-MAX"}},
    {"PresetNotANumber", 2, {"--preset", "six"}, {"--preset", "'six'"}},
    {"PresetTooLarge", 2, {"--preset", "10"}, {"--preset", "too large"}},
    {"NegativeLc", 2, {"--lc", "-1"}, {"--lc"}},
    {"LcPlusLpAbove4", 2, {"--lc", "3", "--lp", "2"}, {"--lc 3 plus --lp 2"}},
    {"DictionaryTooSmall", 2, {"--dict", "1KiB"}, {"--dict", "at least 4KiB"}},
    {"DictionaryTooLarge", 2, {"--dict", "2GiB"}, {"--dict", "too large"}},
    {"DictionaryUnit", 2, {"--dict", "4MB/s"}, {"--dict", "4MB/s"}},
    {"JobsZero", 2, {"--jobs", "0"}, {"--jobs 0: give 1 or 2"}},
    {"JobsThree", 2, {"--jobs", "3"}, {"--jobs", "too large"}},
    {"ElevationUnknown", 2, {"--elevation", "always"}, {"--elevation", "none, runas or noadmin"}},
    {"CheckedDataBeyondData", 2, {"--data", "DATA", "--checked-data", "501"}, {"--checked-data 501", "500 bytes"}},
    {"CheckedDataWithoutData", 2, {"--checked-data", "10"}, {"--checked-data", "--data"}},
    {"MinimumFileSizeBeyondPackage", 2, {"--minimum-file-size", "1GiB"}, {"--minimum-file-size", "truncated"}},
    {"Refuse64WithEngine64", 2, {"--refuse-64bit"}, {"--refuse-64bit and --engine64"}},
    {"BothTextAndFile", 2, {"--wrong-width-text", "w", "--wrong-width-file", "DATA"},
     {"--wrong-width-text and --wrong-width-file"}},
    {"UnknownOption", 2, {"--compress-harder"}, {"unknown option --compress-harder"}},
    {"StrayArgument", 2, {"setup.exe"}, {"unexpected argument 'setup.exe'"}},
    {"FlagWithValue", 2, {"--extreme=yes"}, {"--extreme takes no value"}},
    {"MissingValue", 2, {"--preset"}, {"--preset needs a value"}},
    // A second "-" would find standard input already read.
    {"StandardInputTwice", 2, {"--engine32", "-", "--data", "-"},
     {"--engine32 - and --data - both name standard input, which can be read only once"}},
};

class BuildRefusal : public MkpackageTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(BuildRefusal, NamesTheProblemAndWritesNothing) {
    const Refusal& c = GetParam();
    // A Windows command line is UTF-16: invalid UTF-8 cannot be handed over.
    if (UnderWine() && std::string(c.name) == "TextNotUtf8") GTEST_SKIP() << "no invalid UTF-8 on a Windows command line";
    if (UnderWine() && std::string(c.name) == "VersionInfoTooLong")
        GTEST_SKIP() << "a Windows command line holds at most 32767 characters";
    Bytes stub128 = ReadBytes(stub);
    std::string error;
    ASSERT_TRUE(MovePeHeader(stub128, 128, error)) << error;
    const std::map<std::string, std::string> files = {
        {"STUB128", Put("stub128.exe", stub128)},
        {"NOTPE", Put("notpe.bin", EngineBytes(4096))},
        {"PACKAGED", Put("packaged.exe", [&] {
             PackageRecipe recipe = SoundRecipe();
             recipe.stub = ReadBytes(stub);
             return BuildPackage(recipe);
         }())},
        {"MISSING", File("missing.exe")},
        {"DATA", Put("data.bin", Bytes(500, 1))},
    };
    // Later options win, so the case's own come after the sound ones.
    std::vector<std::string> args = {"build", "--stub", stub, "--engine32", Put("e32.bin", EngineBytes(3000)),
                                     "--engine64", Put("e64.bin", EngineBytes(3000)), "--allow", "all",
                                     "-o", File("out.exe")};
    for (const std::string& a : c.args) args.push_back(files.count(a) ? files.at(a) : a);
    const RunResult r = Mk(args);
    EXPECT_EQ(r.exitCode, c.exitCode) << Describe(args, r);
    for (const std::string& part : c.saying) EXPECT_TRUE(Contains(r.err, part)) << part << "\n" << r.err;
    EXPECT_FALSE(fs::exists(File("out.exe")));
    for (const std::string& name : Listing()) {
        EXPECT_EQ(name.find("out.exe"), std::string::npos) << name;
        EXPECT_FALSE(IsTemporaryName(name)) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Inputs, BuildRefusal, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

// Command lines that lack something required.
TEST_F(Build, RequiredOptionsAreNamed) {
    const std::string e = Put("e.bin", EngineBytes(100));
    const struct {
        std::vector<std::string> args;
        const char* saying;
    } cases[] = {
        {{"build", "--stub", stub, "--launcher", "64", "--engine32", e, "--allow", "all", "-o", File("o")},
         "--stub and --launcher exclude each other"},
        {{"build", "--launcher", "86", "--engine32", e, "--allow", "all", "-o", File("o")},
         "--launcher needs 32 or 64"},
        {{"build", "--stub", stub, "--engine32", e, "--allow", "all"}, "-o OUT is required"},
        {{"build", "--stub", stub, "--engine32", e, "-o", File("o")}, "--allow is required"},
        {{"build", "--stub", stub, "--allow", "all", "-o", File("o")}, "at least one engine"},
        {{"build", "--stub", stub, "--engine64", e, "--refuse-64bit", "--allow", "all", "-o", File("o")},
         "--refuse-64bit and --engine64"},
        {{"build", "--stub", stub, "--refuse-64bit", "--allow", "all", "-o", File("o")},
         "--refuse-64bit needs --engine32"},
    };
    for (const auto& c : cases) {
        const RunResult r = Mk(c.args);
        EXPECT_EQ(r.exitCode, 2) << Describe(c.args, r);
        EXPECT_TRUE(Contains(r.err, c.saying)) << c.saying << "\n" << r.err;
        EXPECT_TRUE(Contains(r.err, "see mkpackage build --help")) << r.err;
    }
    EXPECT_FALSE(fs::exists(File("o")));
}

// Warnings do not stop a build but tell the vendor what looks wrong.
TEST_F(Build, WarnsAboutEnginesAndMissingMessages) {
    const std::string notPe = Put("e.bin", EngineBytes(1000));
    RunResult r = Mk({"build", "--stub", stub, "--engine32", notPe, "--refuse-64bit", "--allow", "10", "-o",
                      File("a.exe")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Contains(r.err, "warning: --engine32 " + notPe + ": not a PE image")) << r.err;
    EXPECT_TRUE(Contains(r.err, "refuses 64-bit Windows, but has no wrong-width message")) << r.err;
    EXPECT_TRUE(Contains(r.err, "refuses some Windows versions, but has no unsupported-Windows message")) << r.err;

    // The 32-bit launcher is a PE32 i386 image: right for --engine32,
    // wrong for --engine64.
    r = Mk({"build", "--stub", stub, "--engine32", stub, "--allow", "all", "-o", File("b.exe")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    r = Mk({"build", "--stub", stub, "--engine64", stub, "--allow", "all", "--wrong-width-text", "w", "-o",
            File("c.exe")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Contains(r.err, "is a PE32 image for machine 0x14c, not x86-64")) << r.err;
}

// A FileVersion or ProductVersion that is no a.b.c.d sets no numeric
// version, which Explorer shows as 0.0.0.0: the vendor is told.
TEST_F(Build, VersionThatIsNoNumberWarns) {
    const std::string engine = Put("e.bin", EngineBytes(1000));
    for (const char* value : {"FileVersion=1.2.3.4.5", "ProductVersion=2.0 beta", "FileVersion=65536"}) {
        const RunResult r = Mk({"build", "--stub", stub, "--engine32", engine, "--allow", "all", "--version-info",
                                value, "-o", File("a.exe")});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(Contains(r.err, std::string("warning: --version-info ") + value + " is no version of the form"))
            << r.err;
    }
    const RunResult r = Mk({"build", "--stub", stub, "--engine32", engine, "--allow", "all", "--version-info",
                            "FileVersion=2.1", "-o", File("b.exe")});
    EXPECT_FALSE(Contains(r.err, "is no version")) << r.err;
}

// ---------------------------------------------------------------------------
// Checked blocks of 2 GiB or more: the launcher takes checkedLength as a
// signed count, so such a block sums to 0 whatever it holds.

TEST_F(Build, BuildRefusesACheckedBlockOf2GiBOrMore) {
    const std::string engine = Put("e.bin", EngineBytes(20000, 64));
    const std::vector<std::string> base = {"build", "--stub", stub, "--engine64", engine, "--allow", "all",
                                           "--wrong-width-text", "w"};
    // The block without engine data, from a package with one byte of it.
    std::vector<std::string> args = base;
    args.insert(args.end(), {"--data", Put("one.bin", {7}), "--checked-data", "all", "-o", File("probe.exe")});
    RunResult r = Mk(args);
    ASSERT_EQ(r.exitCode, 0) << Describe(args, r);
    const uint64_t withoutData = LocatorOf(ReadBytes(File("probe.exe"))).checkedLength - 1;
    const uint64_t reaching2GiB = (1ull << 31) - withoutData;

    const struct {
        const char* name;
        uint64_t dataSize;
        std::string checked;
        bool refused;  // otherwise the build goes on to its last check, which the package fails here
    } cases[] = {
        {"all of 2 GiB", 1ull << 31, "all", true},
        {"2GiB of 2 GiB", 1ull << 31, "2GiB", true},
        {"all, the block exactly 2 GiB", reaching2GiB, "all", true},
        {"a number, the block exactly 2 GiB", reaching2GiB, std::to_string(reaching2GiB), true},
        // The block's length would not even fit 32 bits.
        {"all of the most data a package holds", 0xFFFFFFFFu - fs::file_size(stub) - kHeaderSize, "all", true},
        {"all, the block one byte short of 2 GiB", reaching2GiB - 1, "all", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MakeSparse(File("data.bin"), c.dataSize);
        args = base;
        // A minimum file size no package reaches is refused after the
        // checked block is judged and before the data is read.
        args.insert(args.end(), {"--data", File("data.bin"), "--checked-data", c.checked, "--minimum-file-size",
                                 "4294967295", "-o", File("out.exe")});
        r = Mk(args);
        EXPECT_EQ(r.exitCode, 2) << Describe(args, r);
        if (c.refused) {
            EXPECT_TRUE(Contains(r.err, "--checked-data")) << r.err;
            EXPECT_TRUE(Contains(r.err, "2 GiB")) << r.err;
        } else {
            EXPECT_TRUE(Contains(r.err, "--minimum-file-size 4294967295 is more than the")) << r.err;
        }
        EXPECT_LT(r.peakRss, kSmallPeak) << "the engine data is never read";
        EXPECT_EQ(Listing(), (std::vector<std::string>{"data.bin", "e.bin", "one.bin", "probe.exe"}));
    }
}

// ---------------------------------------------------------------------------
// The largest dictionary liblzma's LZMA1 encoder takes is 1536MiB; larger
// ones are a usage error, not a failure inside the encoder.

TEST_F(Build, DictionaryAbove1536MiBIsRefused) {
    const std::string engine = Put("e.bin", EngineBytes(1000));
    const struct {
        const char* size;
        bool refused;
    } cases[] = {
        {"1537MiB", true},    {"2047MiB", true},    {"1610612737", true}, {"1572865KiB", true},
        {"1536MiB", false},   {"1610612736", false}, {"1572864KiB", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        // No -o: a dictionary that passes reaches the next check, so that
        // nothing is compressed with it.
        const std::vector<std::string> args = {"build", "--stub", stub, "--engine64", engine, "--allow", "all",
                                               "--dict", c.size};
        const RunResult r = Mk(args);
        EXPECT_EQ(r.exitCode, 2) << Describe(args, r);
        if (c.refused) {
            EXPECT_TRUE(Contains(r.err, std::string("--dict ") + c.size)) << r.err;
            EXPECT_TRUE(Contains(r.err, "1536MiB")) << r.err;
        } else {
            EXPECT_TRUE(Contains(r.err, "-o OUT is required")) << r.err;
            EXPECT_FALSE(Contains(r.err, "--dict")) << r.err;
        }
    }
}

// The dictionary stated in the header is the one asked for, but the encoder
// gets no more than the engine needs: 1536MiB for a 16 KB engine once took
// over 4 GB of address space.
TEST_F(Build, ALargeDictionaryForASmallEngineNeedsLittleMemory) {
    if (UnderWine()) GTEST_SKIP() << "an address-space limit this small stops Wine itself";
    const Bytes engine = EngineBytes(16000, 64);
    const std::vector<std::string> args = {"build", "--engine64", Put("e.bin", engine), "--allow", "all",
                                           "--wrong-width-text", "w", "--dict", "1536MiB", "-o", File("pkg.exe")};
    RunOptions limited;
    limited.addressSpaceLimit = 96u << 20;
    const RunResult r = Mk(args, limited);
    ASSERT_EQ(r.exitCode, 0) << Describe(args, r);
    const PackageHeader h = HeaderOf(ReadBytes(File("pkg.exe")));
    EXPECT_EQ(h.lzmaProperties[1] | h.lzmaProperties[2] << 8 | h.lzmaProperties[3] << 16 |
                  static_cast<uint32_t>(h.lzmaProperties[4]) << 24,
              1536u << 20);
    ASSERT_EQ(Mk({"extract", File("pkg.exe"), "--engine64", "-o", File("x.exe")}).exitCode, 0);
    EXPECT_TRUE(ReadBytes(File("x.exe")) == engine);
}

// Two engines are packed side by side (--jobs 2, the default) or one after
// the other (--jobs 1) into the same bytes, also where an address-space
// limit leaves room for one encoder at a time only (the build then packs
// them one after the other), or for two but not for what two threads take
// besides (an engine that runs out of memory beside the other is packed
// again alone).
TEST_F(Build, TwoEnginesSideBySideGiveThePackageOneAfterTheOtherGives) {
    const std::string e32 = Put("e32.bin", EngineBytes(3u << 20, 11)), e64 = Put("e64.bin", EngineBytes(3u << 20, 12));
    const auto build = [&](const std::string& jobs, const std::string& out, const RunOptions& options) {
        std::vector<std::string> args = {"build", "--engine32", e32, "--engine64", e64, "--allow", "all", "-o", File(out)};
        if (!jobs.empty()) args.insert(args.end(), {"--jobs", jobs});
        const RunResult r = Mk(args, options);
        EXPECT_EQ(r.exitCode, 0) << Describe(args, r);
        return ReadBytes(File(out));
    };
    const Bytes sequential = build("1", "one.exe", {});
    EXPECT_TRUE(build("", "two.exe", {}) == sequential);
    EXPECT_TRUE(build("2", "two.exe", {}) == sequential);
    if (UnderWine()) return;  // an address-space limit this small stops Wine itself
    for (const uint64_t mib : {110, 160, 220}) {
        SCOPED_TRACE(std::to_string(mib) + " MiB of address space");
        RunOptions limited;
        limited.addressSpaceLimit = mib << 20;
        EXPECT_TRUE(build("", "limited.exe", limited) == sequential);
    }
}

// ---------------------------------------------------------------------------
// Message texts: only well-formed UTF-8, which has exactly one UTF-16 form.

struct BadUtf8 {
    const char* name;
    std::string bytes;
};
void PrintTo(const BadUtf8& c, std::ostream* os) { *os << c.name; }

const BadUtf8 kBadUtf8[] = {
    {"OverlongSlash", "a\xC0\xAF" "b"},
    {"OverlongTwoByteNul", "a\xC0\x80" "b"},
    {"OverlongThreeByte", "a\xE0\x80\xAF" "b"},
    {"OverlongFourByte", "a\xF0\x80\x80\xAF" "b"},
    {"HighSurrogate", "a\xED\xA0\x80" "b"},
    {"LowSurrogate", "a\xED\xBF\xBF" "b"},
    {"SurrogatePair", "a\xED\xA0\xBD\xED\xB8\x80" "b"},
    {"AboveU10FFFF", "a\xF4\x90\x80\x80" "b"},
    {"LeadByteF5", "a\xF5\x80\x80\x80" "b"},
    {"LeadByteFF", "a\xFF" "b"},
    {"LoneContinuation", "a\x80" "b"},
    {"TruncatedAtTheEnd", "ab\xE2\x82"},
    {"TruncatedFourByteAtTheEnd", "ab\xF0\x9F\x98"},
    {"TruncatedBeforeAnAsciiByte", "a\xE2\x82" "b"},
    {"TruncatedBeforeANewLead", "a\xF0\x9F\xC3\xBC"},
};

class InvalidUtf8 : public MkpackageTest, public ::testing::WithParamInterface<BadUtf8> {};

TEST_P(InvalidUtf8, IsRefusedInEveryMessageOption) {
    const std::string engine = Put("e.bin", EngineBytes(1000));
    WriteText(dir / "text.txt", GetParam().bytes);
    const std::pair<const char*, std::string> sources[] = {
        {"--wrong-width-text", GetParam().bytes},
        {"--unsupported-text", GetParam().bytes},
        {"--wrong-width-file", File("text.txt")},
        {"--unsupported-file", File("text.txt")},
    };
    for (const auto& [option, value] : sources) {
        // A Windows command line is UTF-16: bytes that are no UTF-8 never
        // reach mkpackage.exe as such (Wine hands over U+FFFD), so there
        // only files can carry them.
        if (UnderWine() && value == GetParam().bytes) continue;
        const std::vector<std::string> args = {"build", "--stub", stub, "--engine64", engine, "--allow", "all",
                                               option, value, "-o", File("out.exe")};
        const RunResult r = Mk(args);
        // A malformed value is a usage error, as for every option; the same
        // bytes in a file are unusable input.
        const bool file = value == File("text.txt");
        EXPECT_EQ(r.exitCode, file ? 1 : 2) << Describe(args, r);
        EXPECT_TRUE(Contains(r.err, option)) << r.err;
        EXPECT_TRUE(Contains(r.err, "not valid UTF-8")) << r.err;
        EXPECT_FALSE(fs::exists(File("out.exe")));
    }
    // Version information is text of the command line too (a usage error).
    if (UnderWine()) return;
    const std::vector<std::string> args = {"build", "--stub", stub, "--engine64", engine, "--allow", "all",
                                           "--version-info", "Comments=" + GetParam().bytes, "-o", File("out.exe")};
    const RunResult r = Mk(args);
    EXPECT_EQ(r.exitCode, 2) << Describe(args, r);
    EXPECT_TRUE(Contains(r.err, "--version-info Comments: the value is not valid UTF-8")) << r.err;
    EXPECT_FALSE(fs::exists(File("out.exe")));
}

INSTANTIATE_TEST_SUITE_P(Sequences, InvalidUtf8, ::testing::ValuesIn(kBadUtf8),
                         [](const auto& info) { return std::string(info.param.name); });

// The edges of each sequence length and of the surrogate gap, written
// independently of the tool as UTF-16.
TEST_F(Build, Utf8EdgesAreStoredExactly) {
    const struct {
        const char* utf8;
        std::u16string utf16;
    } edges[] = {
        {"\x7F", u"\u007F"},
        {"\xC2\x80", u"\u0080"},
        {"\xDF\xBF", u"\u07FF"},
        {"\xE0\xA0\x80", u"\u0800"},
        {"\xED\x9F\xBF", u"\uD7FF"},
        {"\xEE\x80\x80", u"\uE000"},
        {"\xEF\xBF\xBD", u"\uFFFD"},
        {"\xEF\xBF\xBF", u"\uFFFF"},
        {"\xF0\x90\x80\x80", u"\U00010000"},
        {"\xF0\x9F\x98\x80", u"\U0001F600"},
        {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
    };
    std::string utf8;
    std::u16string utf16;
    for (const auto& e : edges) {
        utf8 += std::string("<") + e.utf8 + ">";
        utf16 += u"<" + e.utf16 + u">";
    }
    WriteText(dir / "text.txt", utf8);
    const std::vector<std::string> args = {"build", "--stub", stub, "--engine64", Put("e.bin", EngineBytes(1000)),
                                           "--allow", "all", "--unsupported-text", utf8, "--wrong-width-file",
                                           File("text.txt"), "-o", File("pkg.exe")};
    const RunResult r = Mk(args);
    ASSERT_EQ(r.exitCode, 0) << Describe(args, r);
    const Bytes package = ReadBytes(File("pkg.exe"));
    EXPECT_TRUE(TextAt(package, HeaderOf(package).unsupportedWindowsMessage) == utf16);
    EXPECT_TRUE(TextAt(package, HeaderOf(package).wrongWidthMessage) == utf16);
}

// ---------------------------------------------------------------------------
// An empty engine is no program; the launcher would write and start an
// empty file.

TEST_F(Build, EmptyEnginesAreRefused) {
    const std::string empty = Put("empty.bin", {});
    const std::pair<const char*, std::string> cases[] = {
        {"--engine32", empty},
        {"--engine64", empty},
        {"--engine64", "/dev/null"},
    };
    for (const auto& [option, path] : cases) {
        std::vector<std::string> args = {"build", "--stub", stub, "--allow", "all", "--wrong-width-text", "w",
                                         option, path, "-o", File("out.exe")};
        const RunResult r = Mk(args);
        EXPECT_EQ(r.exitCode, 1) << Describe(args, r);
        EXPECT_TRUE(Contains(r.err, std::string(option) + " " + path + " is empty")) << r.err;
        EXPECT_EQ(Listing(), std::vector<std::string>{"empty.bin"});
    }
}

// ---------------------------------------------------------------------------
// --refuse-64bit on a 64-bit launcher: the launcher runs only on 64-bit
// Windows, which the package refuses.

// A package that would run nowhere is refused: every Windows it allows
// exists only in a width where it runs nothing.  (The 64-bit launcher with
// --refuse-64bit has a test of its own, below.)
TEST_F(Build, PackagesThatWouldRunNowhereAreRefused) {
    const std::string e32 = Put("e32.bin", EngineBytes(2000, 32)), e64 = Put("e64.bin", EngineBytes(2000, 64));
    const struct {
        std::vector<std::string> args;
        const char* refusal;  // nullptr: built
    } cases[] = {
        {{"--engine64", e64, "--allow", "95,98,me"},
         "every Windows it allows (95, 98, me) exists only as 32-bit Windows, and it has no 32-bit engine"},
        {{"--launcher", "64", "--engine32", e32, "--allow", "nt4,2000"},
         "every Windows it allows (nt4, 2000) exists only as 32-bit Windows, and its launcher is a 64-bit program"},
        {{"--engine32", e32, "--refuse-64bit", "--allow", "11"},
         "every Windows it allows (11) exists only as 64-bit Windows, which it refuses"},
        {{"--engine32", e32, "--refuse-64bit", "--allow", "10,11"}, nullptr},
        {{"--engine64", e64, "--allow", "2000,xp"}, nullptr},
        {{"--launcher", "64", "--engine32", e32, "--allow", "xp"}, nullptr},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"build", "--wrong-width-text", "w", "-o", File("out.exe")};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult r = Mk(args);
        if (!c.refusal) {
            EXPECT_EQ(r.exitCode, 0) << Describe(args, r);
            fs::remove(File("out.exe"));
            continue;
        }
        EXPECT_EQ(r.exitCode, 2) << Describe(args, r);
        EXPECT_TRUE(Contains(r.err, std::string("this package could run nowhere: ") + c.refusal)) << r.err;
        EXPECT_FALSE(fs::exists(File("out.exe")));
    }
}

TEST_F(Build, Refuse64BitNeedsThe32BitLauncher) {
    const std::string engine = Put("e.bin", EngineBytes(2000, 32));
    const struct {
        std::vector<std::string> launcher;
        bool refused;
    } cases[] = {
        {{"--stub", kStub64}, true},
        {{"--launcher", "64"}, true},
        {{"--launcher", "32"}, false},
        {{"--stub", stub}, false},
        {{}, false},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"build", "--engine32", engine, "--refuse-64bit", "--allow", "all",
                                         "--wrong-width-text", "w", "-o", File("out.exe")};
        args.insert(args.begin() + 1, c.launcher.begin(), c.launcher.end());
        const RunResult r = Mk(args);
        if (c.refused) {
            EXPECT_EQ(r.exitCode, 2) << Describe(args, r);
            EXPECT_TRUE(Contains(r.err, "--refuse-64bit with")) << r.err;
            EXPECT_TRUE(Contains(r.err, "a 64-bit launcher")) << r.err;
            EXPECT_FALSE(fs::exists(File("out.exe")));
        } else {
            ASSERT_EQ(r.exitCode, 0) << Describe(args, r);
            EXPECT_EQ(HeaderOf(ReadBytes(File("out.exe"))).engine64.offset, kRefuse64BitWindows);
            fs::remove(File("out.exe"));
        }
    }
}

// ---------------------------------------------------------------------------
// The launchers built into mkpackage are the Windows builds' stub32.exe and
// stub64.exe.

// The launcher part of package equals launcher but for what the builder
// writes there: the locator and the PE checksum.
void ExpectLauncherOf(const Bytes& package, const std::string& launcherPath) {
    Bytes launcher = ReadBytes(launcherPath);
    ASSERT_EQ(LocatorOf(package).packageOffset, launcher.size());
    Bytes head(package.begin(), package.begin() + static_cast<ptrdiff_t>(launcher.size()));
    // The optional header's CheckSum: after the PE signature (4 bytes) and
    // the file header (20), at 64 in PE32 and PE32+ alike.
    size_t peHeader = 0;
    for (int i = 3; i >= 0; --i) peHeader = peHeader << 8 | launcher[0x3C + i];
    const size_t checksum = peHeader + 4 + 20 + 64;
    ASSERT_LT(checksum + 4, launcher.size());
    for (Bytes* b : {&head, &launcher}) {
        std::fill(b->begin() + kLocatorOffset, b->begin() + kLocatorOffset + kLocatorSize, 0);
        std::fill(b->begin() + static_cast<ptrdiff_t>(checksum), b->begin() + static_cast<ptrdiff_t>(checksum) + 4, 0);
    }
    EXPECT_TRUE(head == launcher) << "the package's launcher is not " << launcherPath;
}

TEST_F(Build, BuiltInLaunchersAreTheWindowsBuilds) {
    const std::string engine = Put("e.bin", EngineBytes(2000, 32));
    const struct {
        std::vector<std::string> choice;
        std::string file;
        const char* name;
    } cases[] = {
        {{}, stub, "stub32.exe"},
        {{"--launcher", "32"}, stub, "stub32.exe"},
        {{"--launcher", "64"}, kStub64, "stub64.exe"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"build", "--engine32", engine, "--engine64", engine, "--allow", "all",
                                         "-o", File("pkg.exe")};
        args.insert(args.begin() + 1, c.choice.begin(), c.choice.end());
        RunResult r = Mk(args);
        ASSERT_EQ(r.exitCode, 0) << Describe(args, r);
        ExpectLauncherOf(ReadBytes(File("pkg.exe")), c.file);
        r = Mk({"inspect", File("pkg.exe")});
        EXPECT_TRUE(Contains(r.out, std::string("launcher           the built-in ") + c.name + ", byte for byte"))
            << r.out;
    }

    // The names, sizes and SHA-256 sums, by coreutils.
    RunResult r = Mk({"--version"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const auto& [name, path] : {std::make_pair("stub32.exe", stub), std::make_pair("stub64.exe", kStub64)}) {
        FILE* pipe = popen(("sha256sum '" + path + "'").c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        char sum[65] = {};
        ASSERT_EQ(fread(sum, 1, 64, pipe), 64u);
        pclose(pipe);
        const std::string line = std::string("built-in launcher ") + name + ": " +
                                 std::to_string(fs::file_size(path)) + " bytes, SHA-256 " + sum + "\n";
        EXPECT_TRUE(Contains(r.out, line)) << line << r.out;
    }
}

// Progress appears on a terminal, for large engines only, and never in a
// pipe, where it would spoil logs.
TEST_F(Build, ProgressOnlyOnATerminal) {
    if (std::system("command -v script >/dev/null 2>&1") != 0) GTEST_SKIP() << "script(1) is missing";
    const std::string big = Put("big.bin", EngineBytes(3u << 20, 5));
    const std::string small = Put("small.bin", EngineBytes(1000, 5));
    auto build = [&](const std::string& engine, const std::string& out) {
        return std::string(MKPACKAGE_PATH) + " build --stub " + stub + " --engine64 " + engine +
               " --allow all --preset 0 -o " + out;
    };
    // script(1) gives the command a terminal and copies what it writes.
    auto onTerminal = [&](const std::string& command, const std::string& log) {
        const std::string line = "script -qec '" + command + " 2>&1' " + log + " >/dev/null 2>&1";
        EXPECT_EQ(std::system(line.c_str()), 0) << line;
        return ReadText(log);
    };
    EXPECT_TRUE(Contains(onTerminal(build(big, File("a.exe")), File("a.log")), "compressing the 64-bit engine (3.0 MiB): 100%"));
    EXPECT_FALSE(Contains(onTerminal(build(small, File("b.exe")), File("b.log")), "compressing"));
    // Two engines packed side by side share the line.
    const std::string big32 = Put("big32.bin", EngineBytes(3u << 20, 6));
    EXPECT_TRUE(Contains(onTerminal(build(big, File("d.exe")) + " --engine32 " + big32, File("d.log")),
                         "compressing the 32-bit engine (3.0 MiB): 100%, the 64-bit engine (3.0 MiB): 100%"));
    const RunResult piped = Mk({"build", "--stub", stub, "--engine64", big, "--allow", "all", "--preset", "0", "-o",
                                File("c.exe")});
    EXPECT_EQ(piped.exitCode, 0);
    EXPECT_FALSE(Contains(piped.err, "compressing")) << piped.err;
}

}  // namespace
