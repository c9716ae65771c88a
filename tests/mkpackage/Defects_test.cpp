// mkpackage on the inputs that once went wrong: an output that is one of the
// inputs, checked blocks of 2 GiB and more, files without a package, bytes
// after a signature, huge and empty inputs, pipes, a standard output that
// cannot be written, and the small rules of the command line.
#include <sys/stat.h>

#include <cstdio>
#include <functional>
#include <map>
#include <regex>

#include "CliRunner.h"
#include "PeImage.h"
#include "TestPackages.h"

using namespace mk;

namespace {

// Far below the sizes of the huge files here.  A child's peak counts the
// test process's pages it held between fork and exec, a few MiB.
constexpr uint64_t kSmallPeak = 64u << 20;

const std::string kStub64 = STUB64_PATH;

// An i386 program as compilers lay it out: its PE header at 128, over the
// bytes where a package's locator would be.
std::string ProgramWithPeHeaderAt128() {
    return (fs::path(STUB32_PATH).parent_path() / "tests" / "engines" / "report-engine.exe").string();
}

// A file of size bytes that starts with head and takes no room on disk
// beyond it.
void MakeSparse(const std::string& path, uint64_t size, const Bytes& head = {}) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, head.data(), head.size()), static_cast<ssize_t>(head.size()));
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0) << path;
    close(fd);
}

void SetLocator(Bytes& file, const PackageLocator& l) {
    uint8_t raw[kLocatorSize];
    SerializeLocator(l, raw);
    std::copy(raw, raw + kLocatorSize, file.begin() + kLocatorOffset);
}

void SetHeader(Bytes& file, const PackageHeader& h) {
    uint8_t raw[kHeaderSize];
    SerializeHeader(h, raw);
    std::copy(raw, raw + kHeaderSize, file.begin() + LocatorOf(file).packageOffset);
}

// A one-image icon file: 16x16, 32 bits per pixel, with its mask.
Bytes SmallIcon() {
    Bytes f = {0, 0, 1, 0, 1, 0, 16, 16, 0, 0, 1, 0, 32, 0};
    const uint32_t size = 40 + 16 * 16 * 4 + 16 * 4, offset = 22;
    for (uint32_t v : {size, offset})
        for (int i = 0; i < 4; ++i) f.push_back(static_cast<uint8_t>(v >> (8 * i)));
    // BITMAPINFOHEADER: its size, width, height of image and mask, one
    // plane, 32 bits per pixel, no compression, no palette; then pixels.
    const uint8_t header[16] = {40, 0, 0, 0, 16, 0, 0, 0, 32, 0, 0, 0, 1, 0, 32, 0};
    f.insert(f.end(), header, header + 16);
    f.resize(f.size() + 24, 0);
    f.resize(f.size() + size - 40, 0x40);
    return f;
}

// Every file in a folder with its bytes; symbolic links are followed.
std::map<std::string, Bytes> Snapshot(const fs::path& dir) {
    std::map<std::string, Bytes> files;
    for (const auto& e : fs::directory_iterator(dir)) files[e.path().filename().string()] = ReadBytes(e.path());
    return files;
}

// ---------------------------------------------------------------------------
// An output that is one of the inputs: writing it would destroy the input.

struct SameFile {
    const char* name;
    bool extract;         // extract PACKAGE --engine64 -o OUT instead of a build
    const char* option;   // the input the message names
    // The -o path, spelled as the case says; may make a link first.
    std::function<std::string(const fs::path& dir)> output;
};
void PrintTo(const SameFile& c, std::ostream* os) { *os << c.name; }

std::string In(const fs::path& dir, const char* name) { return (dir / name).string(); }

const SameFile kSameFiles[] = {
    {"StubByItsName", false, "--stub", [](const fs::path& d) { return In(d, "stub.exe"); }},
    {"StubSpelledWithDot", false, "--stub", [](const fs::path& d) { return (d / "." / "stub.exe").string(); }},
    {"StubThroughTheParent", false, "--stub",
     [](const fs::path& d) { return (d / ".." / d.filename() / "stub.exe").string(); }},
    {"Engine32ThroughAHardLink", false, "--engine32",
     [](const fs::path& d) {
         fs::create_hard_link(d / "e32.bin", d / "hard.exe");
         return In(d, "hard.exe");
     }},
    {"Engine64ThroughASymlink", false, "--engine64",
     [](const fs::path& d) {
         fs::create_symlink("e64.bin", d / "sym.exe");
         return In(d, "sym.exe");
     }},
    {"Data", false, "--data", [](const fs::path& d) { return In(d, "data.bin"); }},
    {"Icon", false, "--icon", [](const fs::path& d) { return In(d, "icon.ico"); }},
    {"WrongWidthFile", false, "--wrong-width-file", [](const fs::path& d) { return In(d, "ww.txt"); }},
    {"UnsupportedFile", false, "--unsupported-file", [](const fs::path& d) { return In(d, "us.txt"); }},
    {"ExtractOverItsPackage", true, "FILE", [](const fs::path& d) { return In(d, "pkg.exe"); }},
    {"ExtractOverAHardLinkOfItsPackage", true, "FILE",
     [](const fs::path& d) {
         fs::create_hard_link(d / "pkg.exe", d / "hard.exe");
         return In(d, "hard.exe");
     }},
    {"ExtractOverASymlinkToItsPackage", true, "FILE",
     [](const fs::path& d) {
         fs::create_symlink("pkg.exe", d / "sym.exe");
         return (d / "." / "sym.exe").string();
     }},
};

class OutputIsAnInput : public MkpackageTest, public ::testing::WithParamInterface<SameFile> {};

TEST_P(OutputIsAnInput, IsRefusedBeforeAnythingIsWritten) {
    const SameFile& c = GetParam();
    fs::copy_file(stub, dir / "stub.exe");
    Put("e32.bin", EngineBytes(3000, 32));
    Put("e64.bin", EngineBytes(4000, 64));
    Put("data.bin", Bytes(700, 0xDA));
    Put("icon.ico", SmallIcon());
    WriteText(dir / "ww.txt", "wrong width");
    WriteText(dir / "us.txt", "not on %USER%");
    const std::vector<std::string> build = {
        "build", "--stub", File("stub.exe"), "--engine32", File("e32.bin"), "--engine64", File("e64.bin"),
        "--data", File("data.bin"), "--icon", File("icon.ico"), "--wrong-width-file", File("ww.txt"),
        "--unsupported-file", File("us.txt"), "--allow", "all"};
    std::vector<std::string> args = build;
    args.insert(args.end(), {"-o", File("pkg.exe")});
    RunResult r = Mk(args);
    ASSERT_EQ(r.exitCode, 0) << Describe(args, r);

    const std::string out = c.output(dir);
    if (c.extract) args = {"extract", File("pkg.exe"), "--engine64", "-o", out};
    else args = build, args.insert(args.end(), {"-o", out});
    const auto before = Snapshot(dir);
    r = Mk(args);
    EXPECT_EQ(r.exitCode, 2) << Describe(args, r);
    EXPECT_TRUE(Contains(r.err, "-o " + out + " is the same file as " + c.option)) << r.err;
    // The input is as it was, and no temporary file is left behind.
    EXPECT_TRUE(Snapshot(dir) == before) << Describe(args, r);
}

INSTANTIATE_TEST_SUITE_P(Inputs, OutputIsAnInput, ::testing::ValuesIn(kSameFiles),
                         [](const auto& info) { return std::string(info.param.name); });

// Writing over an earlier output is the normal case, not a collision: the
// comparison must not take every existing file for an input.
TEST_F(MkpackageTest, AnEarlierOutputIsOverwritten) {
    const std::string engine = Put("e.bin", EngineBytes(3000, 64));
    Put("old.exe", Bytes(100, 1));
    RunResult r = Mk({"build", "--stub", stub, "--engine64", engine, "--allow", "all", "--wrong-width-text", "w",
                      "-o", File("old.exe")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    Put("old.bin", Bytes(100, 1));
    r = Mk({"extract", File("old.exe"), "--engine64", "-o", File("old.bin")});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ReadBytes(File("old.bin")), ReadBytes(engine));
}

// ---------------------------------------------------------------------------
// Checked blocks of 2 GiB or more: the launcher takes checkedLength as a
// signed count, so such a block sums to 0 whatever it holds.

TEST_F(MkpackageTest, BuildRefusesACheckedBlockOf2GiBOrMore) {
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
        bool refused;  // otherwise the build goes on to its output, which cannot be made here
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
        args.insert(args.end(), {"--data", File("data.bin"), "--checked-data", c.checked, "-o",
                                 File("nowhere/out.exe")});
        r = Mk(args);
        if (c.refused) {
            EXPECT_EQ(r.exitCode, 2) << Describe(args, r);
            EXPECT_TRUE(Contains(r.err, "--checked-data")) << r.err;
            EXPECT_TRUE(Contains(r.err, "2 GiB")) << r.err;
        } else {
            EXPECT_EQ(r.exitCode, 1) << Describe(args, r);
            EXPECT_TRUE(Contains(r.err, "cannot create a file in " + File("nowhere"))) << r.err;
        }
        EXPECT_LT(r.peakRss, kSmallPeak) << "the engine data is never read";
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

TEST_F(MkpackageTest, ExtractSaysNoPackageForFilesThatCannotHoldOne) {
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
// Bytes after the certificate table: the launcher accepts them, but the
// signature no longer covers the file.

TEST_F(MkpackageTest, BytesAfterTheCertificateTableAreReported) {
    if (std::system("command -v openssl >/dev/null 2>&1 && command -v osslsigncode >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "openssl or osslsigncode is missing";
    RunResult r = Mk({"build", "--stub", stub, "--engine64", stub, "--allow", "all", "--wrong-width-text", "w",
                      "-o", File("pkg.exe")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string sign = "cd '" + dir.string() +
                             "' && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem"
                             " -days 2 -subj /CN=mkpackage-test >/dev/null 2>&1 && osslsigncode sign -certs cert.pem"
                             " -key key.pem -in pkg.exe -out signed.exe >/dev/null 2>&1";
    ASSERT_EQ(std::system(sign.c_str()), 0);
    const Bytes signedFile = ReadBytes(File("signed.exe")), unsignedFile = ReadBytes(File("pkg.exe"));

    const struct {
        const char* name;
        const Bytes* file;
        size_t appended;
        const char* warning;  // nullptr: none
    } cases[] = {
        {"signed.exe", &signedFile, 0, nullptr},
        {"one.exe", &signedFile, 1, "1 byte after the certificate table: the signature no longer covers the file"},
        {"more.exe", &signedFile, 4096, "4096 bytes after the certificate table: the signature no longer covers"},
        // Bytes after an unsigned package are no signature's business.
        {"unsigned.exe", &unsignedFile, 4096, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bytes = *c.file;
        bytes.resize(bytes.size() + c.appended, 0x5A);
        const std::string path = Put(c.name, bytes);
        r = Mk({"verify", path});
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        const RunResult text = Mk({"inspect", path}), json = Mk({"inspect", "--json", path});
        EXPECT_EQ(text.exitCode, 0) << text.err;
        EXPECT_EQ(json.exitCode, 0) << json.err;
        if (c.warning) {
            EXPECT_TRUE(Contains(r.err, std::string("mkpackage: warning: ") + c.warning)) << r.err;
            EXPECT_TRUE(Contains(text.out, std::string("warning: ") + c.warning)) << text.out;
            EXPECT_TRUE(Contains(json.out, std::string("\"warnings\": [\"") + c.warning)) << json.out;
        } else {
            EXPECT_FALSE(Contains(r.err, "warning")) << r.err;
            EXPECT_FALSE(Contains(text.out, "warning")) << text.out;
            EXPECT_TRUE(Contains(json.out, "\"warnings\": []")) << json.out;
        }
    }
}

// ---------------------------------------------------------------------------
// The largest dictionary liblzma's LZMA1 encoder takes is 1536MiB; larger
// ones are a usage error, not a failure inside the encoder.

TEST_F(MkpackageTest, DictionaryAbove1536MiBIsRefused) {
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
        EXPECT_EQ(r.exitCode, 1) << Describe(args, r);
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
TEST_F(MkpackageTest, Utf8EdgesAreStoredExactly) {
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

TEST_F(MkpackageTest, EmptyEnginesAreRefused) {
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

TEST_F(MkpackageTest, Refuse64BitNeedsThe32BitLauncher) {
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

const Oddity kOddities[] = {
    {"SoundPackage", [](Bytes&) {}, nullptr},
    {"Engine64HoldsMoreThanUnpackedSize",
     [](Bytes& b) { ChangeHeader(b, [](PackageHeader& h) { h.engine64.unpackedSize /= 2; }); },
     "engine64: ", },
    {"Engine32HoldsMoreThanUnpackedSize",
     [](Bytes& b) { ChangeHeader(b, [](PackageHeader& h) { h.engine32.unpackedSize = 1000; }); },
     "engine32: "},
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
    if (Contains(c.warning, "engine")) {
        EXPECT_TRUE(Contains(r.err, "the launcher would run a cut engine")) << r.err;
        EXPECT_TRUE(Contains(text.out, "the launcher would run a cut engine")) << text.out;
    }
}

INSTANTIATE_TEST_SUITE_P(Headers, LauncherRunsItWrongly, ::testing::ValuesIn(kOddities),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Huge inputs: refused by their size, or found to hold no package, without
// being read; what is read under a memory limit fails naming the file.

TEST_F(MkpackageTest, HugeFilesWithoutAPackageAreNotRead) {
    MakeSparse(File("nothing.bin"), 3ull << 30);
    MakeSparse(File("launcher.exe"), 3ull << 30, ReadBytes(stub));
    const std::pair<std::string, const char*> cases[] = {
        {File("nothing.bin"), "no package: the file is no Windows program"},
        {File("launcher.exe"), "no package: locator field packageOffset is 0"},
    };
    for (const auto& [path, saying] : cases) {
        for (std::vector<std::string> args : {std::vector<std::string>{"inspect", path},
                                              std::vector<std::string>{"verify", path},
                                              std::vector<std::string>{"extract", path, "--engine64", "-o",
                                                                       File("x.exe")}}) {
            const RunResult r = Mk(args);
            EXPECT_EQ(r.exitCode, 1) << Describe(args, r);
            EXPECT_TRUE(Contains(r.err, path + ": " + saying)) << r.err;
            EXPECT_LT(r.peakRss, kSmallPeak) << Describe(args, r);
        }
    }
    EXPECT_FALSE(fs::exists(File("x.exe")));
}

TEST_F(MkpackageTest, HugeInputsAreRefusedBeforeTheyAreRead) {
    const std::string engine = Put("e.bin", EngineBytes(2000, 64));
    MakeSparse(File("2GiB.bin"), 1ull << 31);
    MakeSparse(File("5GiB.bin"), 5ull << 30);
    const struct {
        const char* option;
        std::string path;
        const char* saying;
    } cases[] = {
        {"--engine32", File("2GiB.bin"), "an engine must be smaller than 2 GiB"},
        {"--engine64", File("2GiB.bin"), "an engine must be smaller than 2 GiB"},
        {"--data", File("5GiB.bin"), "below 4 GiB"},
        {"--stub", File("2GiB.bin"), "a launcher is a small program"},
        {"--unsupported-file", File("2GiB.bin"), "a message text is shorter"},
        {"--icon", File("2GiB.bin"), "an icon file is smaller"},
    };
    for (const auto& c : cases) {
        const std::vector<std::string> args = {"build", "--stub", stub, "--engine64", engine, "--allow", "all",
                                               "--wrong-width-text", "w", c.option, c.path, "-o", File("out.exe")};
        const RunResult r = Mk(args);
        EXPECT_EQ(r.exitCode, 1) << Describe(args, r);
        EXPECT_TRUE(Contains(r.err, std::string(c.option) + " " + c.path + " is ")) << r.err;
        EXPECT_TRUE(Contains(r.err, c.saying)) << r.err;
        EXPECT_LT(r.peakRss, kSmallPeak) << Describe(args, r);
        EXPECT_FALSE(fs::exists(File("out.exe")));
    }
}

// RLIMIT_AS makes an allocation or a mapping beyond the limit fail on the
// spot, in this process alone and without privileges, where running out of
// real memory would bring the OOM killer (a signal, no message) or swap.
// It counts mappings too, so a mapped input larger than the limit fails as
// an allocation would.  The limit leaves room for an ordinary build (the
// first case), so every failure below is the input's.
TEST_F(MkpackageTest, UnderAMemoryLimitFailuresNameTheFile) {
    // Wine itself needs far more address space than the limit leaves.
    if (UnderWine()) GTEST_SKIP() << "an address-space limit this small stops Wine itself";
    constexpr uint64_t kLimit = 96u << 20;
    const std::string engine = Put("e.bin", EngineBytes(20000, 64));
    MakeSparse(File("256MiB.bin"), 256u << 20);
    MakeSparse(File("3GiB.bin"), 3ull << 30);
    ASSERT_EQ(mkfifo(File("endless").c_str(), 0600), 0);
    const std::vector<std::string> build = {"build", "--stub", stub, "--allow", "all", "--wrong-width-text", "w",
                                            "-o", File("out.exe")};
    const struct {
        const char* name;
        std::vector<std::string> args;
        bool fromEndlessPipe;
        std::string naming;  // empty: succeeds
    } cases[] = {
        {"an ordinary build", {"--engine64", engine}, false, ""},
        {"mapped data", {"--engine64", engine, "--data", File("256MiB.bin")}, false, "--data " + File("256MiB.bin")},
        {"the compressor's dictionary", {"--engine64", engine, "--dict", "1536MiB"}, false, "--engine64 " + engine},
        {"an engine read from a pipe", {"--engine64", "/dev/stdin"}, true, "--engine64 /dev/stdin"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = build;
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunOptions options;
        options.addressSpaceLimit = kLimit;
        pid_t writer = 0;
        if (c.fromEndlessPipe) {
            writer = StartWriter(File("endless"), Bytes(1 << 20, 0), 0);
            options.stdinPath = File("endless");
        }
        const RunResult r = Mk(args, options);
        if (writer) StopWriter(writer);
        if (c.naming.empty()) {
            EXPECT_EQ(r.exitCode, 0) << Describe(args, r);
            fs::remove(File("out.exe"));
            continue;
        }
        EXPECT_EQ(r.exitCode, 1) << Describe(args, r);
        EXPECT_TRUE(Contains(r.err, c.naming)) << r.err;
        EXPECT_TRUE(Contains(r.err, "memory")) << r.err;
        EXPECT_FALSE(fs::exists(File("out.exe")));
    }
    for (const char* command : {"inspect", "verify"}) {
        RunOptions options;
        options.addressSpaceLimit = kLimit;
        const RunResult r = Mk({command, File("3GiB.bin")}, options);
        EXPECT_EQ(r.exitCode, 1) << Describe({command, File("3GiB.bin")}, r);
        EXPECT_TRUE(Contains(r.err, File("3GiB.bin") + ": ")) << r.err;
    }
    for (const std::string& name : Listing()) EXPECT_EQ(name.find("out.exe"), std::string::npos) << name;
}

// ---------------------------------------------------------------------------
// Standard output that cannot be written: the results never arrived, so the
// command failed.

struct Printing {
    const char* name;
    std::vector<std::string> args;  // PKG, ENGINE, OUT replaced
};
void PrintTo(const Printing& c, std::ostream* os) { *os << c.name; }

const Printing kPrinting[] = {
    {"Help", {"--help"}},
    {"Version", {"--version"}},
    {"BuildHelp", {"build", "--help"}},
    {"Inspect", {"inspect", "PKG"}},
    {"InspectJson", {"inspect", "--json", "PKG"}},
    {"Verify", {"verify", "PKG"}},
    {"Extract", {"extract", "PKG", "--engine64", "-o", "OUT"}},
    {"Build", {"build", "--engine64", "ENGINE", "--allow", "all", "--wrong-width-text", "w", "-o", "OUT"}},
};

class StdoutUnwritable : public MkpackageTest, public ::testing::WithParamInterface<Printing> {};

TEST_P(StdoutUnwritable, FailsTheCommand) {
    const std::string engine = Put("e.bin", EngineBytes(20000, 64));
    RunResult r = Mk({"build", "--engine64", engine, "--allow", "all", "--wrong-width-text", "w", "-o",
                      File("pkg.exe")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> args = GetParam().args;
    for (std::string& a : args) {
        if (a == "PKG") a = File("pkg.exe");
        if (a == "ENGINE") a = engine;
        if (a == "OUT") a = File("out.exe");
    }
    const RunResult normal = Mk(args);
    ASSERT_EQ(normal.exitCode, 0) << Describe(args, normal);
    ASSERT_FALSE(normal.out.empty());
    const Bytes normalOut = fs::exists(File("out.exe")) ? ReadBytes(File("out.exe")) : Bytes();
    fs::remove(File("out.exe"));

    RunOptions full, closed;
    full.stdoutPath = "/dev/full";
    closed.closeStdout = true;
    for (const RunOptions& options : {full, closed}) {
        SCOPED_TRACE(options.closeStdout ? "closed" : "/dev/full");
        r = Mk(args, options);
        EXPECT_EQ(r.exitCode, 1) << Describe(args, r);
        EXPECT_TRUE(Contains(r.err, "mkpackage: cannot write to standard output")) << r.err;
        // With stdout closed, descriptor 1 is free for the next file the
        // tool opens: its output file must hold only what belongs there.
        if (!normalOut.empty()) {
            EXPECT_TRUE(ReadBytes(File("out.exe")) == normalOut);
            fs::remove(File("out.exe"));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Commands, StdoutUnwritable, ::testing::ValuesIn(kPrinting),
                         [](const auto& info) { return std::string(info.param.name); });

// A command that writes nothing to stdout loses nothing there: its own exit
// code stands, and nothing is said about stdout.  (Every command prints
// something when it succeeds, so these are failures.)
TEST_F(MkpackageTest, CommandsThatPrintNothingKeepTheirExitCode) {
    RunOptions full, closed;
    full.stdoutPath = "/dev/full";
    closed.closeStdout = true;
    const struct {
        std::vector<std::string> args;
        int exitCode;
    } cases[] = {
        {{"verify"}, 2},
        {{"build", "--engine64"}, 2},
        {{"inspect", stub}, 1},
        {{"extract", stub, "--engine64", "-o", File("x.exe")}, 1},
    };
    for (const auto& c : cases)
        for (const RunOptions& options : {full, closed}) {
            const RunResult r = Mk(c.args, options);
            EXPECT_EQ(r.exitCode, c.exitCode) << Describe(c.args, r);
            EXPECT_FALSE(Contains(r.err, "standard output")) << r.err;
        }
}

// ---------------------------------------------------------------------------
// Inputs that are pipes (<(cat e.exe), /dev/stdin): read whole, and the
// package is the one the same files make.

struct PipedInput {
    const char* name;
    const char* option;
    enum Through { kFifo, kStdinPipe, kStdinFile } through;
};
void PrintTo(const PipedInput& c, std::ostream* os) { *os << c.name; }

const PipedInput kPipedInputs[] = {
    {"Engine64ThroughAFifo", "--engine64", PipedInput::kFifo},
    {"Engine32ThroughAFifo", "--engine32", PipedInput::kFifo},
    {"DataThroughAFifo", "--data", PipedInput::kFifo},
    {"MessageFileThroughAFifo", "--unsupported-file", PipedInput::kFifo},
    {"StubThroughAFifo", "--stub", PipedInput::kFifo},
    {"Engine64FromStdinPipe", "--engine64", PipedInput::kStdinPipe},
    {"DataFromStdinPipe", "--data", PipedInput::kStdinPipe},
    {"Engine64FromStdinFile", "--engine64", PipedInput::kStdinFile},
};

class PipedInputs : public MkpackageTest, public ::testing::WithParamInterface<PipedInput> {};

TEST_P(PipedInputs, MakeThePackageTheFilesMake) {
    const PipedInput& c = GetParam();
    // Larger than a pipe's buffer, so that the writer has to wait for reads.
    std::map<std::string, std::string> files = {
        {"--stub", stub},
        {"--engine32", Put("e32.bin", EngineBytes(150000, 32))},
        {"--engine64", Put("e64.bin", EngineBytes(200000, 64))},
        {"--data", Put("data.bin", EngineBytes(100000, 7))},
        {"--unsupported-file", Put("text.txt", {'N', 'o', 't', ' ', '%', 'U', 'S', 'E', 'R', '%'})},
    };
    auto command = [&](const std::string& out) {
        std::vector<std::string> args = {"build", "--allow", "10,11", "--wrong-width-text", "w", "--checked-data",
                                         "100", "--preset", "0", "-o", out};
        for (const auto& [option, path] : files) args.insert(args.end(), {option, path});
        return args;
    };
    std::vector<std::string> args = command(File("files.exe"));
    RunResult r = Mk(args);
    ASSERT_EQ(r.exitCode, 0) << Describe(args, r);

    // /dev/stdin is a name of POSIX systems; on Windows a pipe arrives as a
    // named FIFO or pipe path, which the kFifo rows cover.
    if (UnderWine() && c.through != PipedInput::kFifo) GTEST_SKIP() << "/dev/stdin exists on POSIX systems only";
    const std::string original = files[c.option];
    RunOptions options;
    pid_t writer = 0;
    if (c.through == PipedInput::kStdinFile) {
        options.stdinPath = original;
        files[c.option] = "/dev/stdin";
    } else {
        ASSERT_EQ(mkfifo(File("fifo").c_str(), 0600), 0);
        writer = StartWriter(File("fifo"), ReadBytes(original));
        if (c.through == PipedInput::kStdinPipe) options.stdinPath = File("fifo");
        files[c.option] = c.through == PipedInput::kStdinPipe ? "/dev/stdin" : File("fifo");
    }
    args = command(File("piped.exe"));
    r = Mk(args, options);
    if (writer) StopWriter(writer);
    ASSERT_EQ(r.exitCode, 0) << Describe(args, r);
    EXPECT_TRUE(ReadBytes(File("piped.exe")) == ReadBytes(File("files.exe")));

    r = Mk({"verify", File("piped.exe")});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    for (const char* engine : {"--engine32", "--engine64"}) {
        const std::string out = File(std::string("x") + engine);
        r = Mk({"extract", File("piped.exe"), engine, "-o", out});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(ReadBytes(out) == ReadBytes(File(engine == std::string("--engine32") ? "e32.bin" : "e64.bin")))
            << engine;
    }
}

INSTANTIATE_TEST_SUITE_P(Inputs, PipedInputs, ::testing::ValuesIn(kPipedInputs),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The small rules of the command line.

TEST_F(MkpackageTest, CheckedDataNeedsDataWhateverItsValue) {
    const std::string engine = Put("e.bin", EngineBytes(1000));
    for (const char* value : {"all", "ALL", "All", "0", "10", "1KiB"}) {
        const std::vector<std::string> args = {"build", "--stub", stub, "--engine64", engine, "--allow", "all",
                                               "--checked-data", value, "-o", File("out.exe")};
        const RunResult r = Mk(args);
        EXPECT_EQ(r.exitCode, 2) << Describe(args, r);
        EXPECT_TRUE(Contains(r.err, "--checked-data")) << r.err;
        EXPECT_TRUE(Contains(r.err, "needs --data")) << r.err;
        EXPECT_FALSE(fs::exists(File("out.exe")));
    }
}

// Each row: options added to a sound command line, and either the header
// fields they give or the refusal.
struct RuleCase {
    const char* name;
    std::vector<std::string> args;  // DATA: a 300-byte data file
    std::function<void(const PackageLocator&, const PackageHeader&)> check;  // empty: refused
    const char* saying = nullptr;                                             // when refused
};
void PrintTo(const RuleCase& c, std::ostream* os) { *os << c.name; }

AllowedWindowsSet Every() {
    AllowedWindowsSet set{};
    for (unsigned e : {kWin95, kWin98, kWinMe, kWinNt4, kWin2000, kWinXp, kWinVista, kWin7, kWin8, kWin81, kWin10,
                       kWin11, kWinLater})
        set.bytes[e / 8] |= static_cast<uint8_t>(1u << (e % 8));
    return set;
}

void ExpectEvery(const PackageHeader& h) {
    EXPECT_TRUE(std::equal(h.allowedWindows.bytes, h.allowedWindows.bytes + 8, Every().bytes));
}

// The data's bytes all lie inside the checked block.
void ExpectAllDataChecked(const PackageLocator& l, const PackageHeader& h) {
    EXPECT_EQ(uint64_t{l.packageOffset} + l.checkedLength, uint64_t{h.dataOffset} + 300);
}

const RuleCase kRules[] = {
    {"CheckedDataALL", {"--data", "DATA", "--checked-data", "ALL"}, ExpectAllDataChecked},
    {"CheckedDataAll", {"--data", "DATA", "--checked-data", "All"}, ExpectAllDataChecked},
    {"AllowALL", {"--allow", "ALL"}, [](auto&, auto& h) { ExpectEvery(h); }},
    {"AllowAll", {"--allow", "All"}, [](auto&, auto& h) { ExpectEvery(h); }},
    {"AllowAllAmongOthers", {"--allow", "xp,ALL"}, [](auto&, auto& h) { ExpectEvery(h); }},
    {"ElevationRUNAS", {"--elevation", "RUNAS"}, [](auto&, auto& h) { EXPECT_EQ(h.elevationMode, 1); }},
    {"ElevationNoAdmin", {"--elevation", "NoAdmin"}, [](auto&, auto& h) { EXPECT_EQ(h.elevationMode, 2); }},
    {"ElevationNONE", {"--elevation", "NONE"}, [](auto&, auto& h) { EXPECT_EQ(h.elevationMode, 0); }},
    {"AllowTrailingComma", {"--allow", "7,8,"}, {}, "--allow '7,8,' has an empty item"},
    {"AllowLeadingComma", {"--allow", ",7"}, {}, "--allow ',7' has an empty item"},
    {"AllowBlankItem", {"--allow", "7, ,8"}, {}, "has an empty item"},
    {"Win10Month13", {"--win10", "1813-"}, {}, "--win10 (lowest release) 1813 is no release code"},
    {"Win11Month00", {"--win11", "2100-"}, {}, "--win11 (lowest release) 2100 is no release code"},
    {"Win10HighestMonth13", {"--win10", "1809-1813"}, {}, "--win10 (highest release) 1813 is no release code"},
    {"Win11HighestMonth00", {"--win11", "2110-2200"}, {}, "--win11 (highest release) 2200 is no release code"},
    {"Win10ThreeDigits", {"--win10", "812-"}, {}, "--win10 (lowest release) 812 is no release code"},
    {"Win10Range",
     {"--win10", "1809-2212"},
     [](auto&, auto& h) {
         EXPECT_EQ(h.win10MinRelease, 1809);
         EXPECT_EQ(h.win10MaxRelease, 2212);
     }},
    {"Win11MonthsOneAndTwelve",
     {"--win11", "2201-2212"},
     [](auto&, auto& h) {
         EXPECT_EQ(h.win11MinRelease, 2201);
         EXPECT_EQ(h.win11MaxRelease, 2212);
     }},
    {"Win10NoUpperBoundWritten",
     {"--win10", "1507-9999"},
     [](auto&, auto& h) {
         EXPECT_EQ(h.win10MinRelease, 1507);
         EXPECT_EQ(h.win10MaxRelease, 9999);
     }},
};

class CommandLineRules : public MkpackageTest, public ::testing::WithParamInterface<RuleCase> {};

TEST_P(CommandLineRules, GiveTheirFieldsOrAreRefused) {
    const RuleCase& c = GetParam();
    std::vector<std::string> args = {"build", "--stub", stub, "--engine64", Put("e.bin", EngineBytes(2000)),
                                     "--allow", "10", "--wrong-width-text", "w", "--unsupported-text", "u",
                                     "-o", File("out.exe")};
    for (const std::string& a : c.args) args.push_back(a == "DATA" ? Put("data.bin", Bytes(300, 0xDA)) : a);
    const RunResult r = Mk(args);
    if (!c.check) {
        EXPECT_EQ(r.exitCode, 2) << Describe(args, r);
        EXPECT_TRUE(Contains(r.err, c.saying)) << c.saying << "\n" << r.err;
        EXPECT_FALSE(fs::exists(File("out.exe")));
        return;
    }
    ASSERT_EQ(r.exitCode, 0) << Describe(args, r);
    const Bytes package = ReadBytes(File("out.exe"));
    c.check(LocatorOf(package), HeaderOf(package));
}

INSTANTIATE_TEST_SUITE_P(Options, CommandLineRules, ::testing::ValuesIn(kRules),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MkpackageTest, VersionTakesNoArguments) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--version", "extra"}, std::vector<std::string>{"-V", "extra"},
          std::vector<std::string>{"--version", "--help"}}) {
        const RunResult r = Mk(args);
        EXPECT_EQ(r.exitCode, 2) << Describe(args, r);
        EXPECT_TRUE(Contains(r.err, "takes no arguments, not '" + args[1] + "'")) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

// A package's texts and names come from its vendor: shown raw, ESC and C1
// controls would drive the inspector's terminal (clear it, retitle it, hide
// lines).  JSON escapes them its own way and stays valid.
TEST_F(MkpackageTest, InspectShowsControlCharactersEscaped) {
    const std::string text = "A\x1b[2JB\x07" "C\xC2\x85" "D\xC2\x9B" "31mE";
    const std::string version = "X\x1b]0;owned\x07Y";
    // Windows file names cannot hold control characters.
    const std::string path = File(UnderWine() ? "odd.exe" : "odd\x1b[31m.exe");
    const std::vector<std::string> args = {"build", "--stub", stub, "--engine64", Put("e.bin", EngineBytes(2000)),
                                           "--allow", "all", "--wrong-width-text", "w", "--unsupported-text", text,
                                           "--version-info", "Comments=" + version, "-o", path};
    RunResult r = Mk(args);
    ASSERT_EQ(r.exitCode, 0) << Describe(args, r);

    r = Mk({"inspect", path});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const char* raw : {"\x1b", "\x07", "\xC2\x85", "\xC2\x9B"})
        EXPECT_FALSE(Contains(r.out, raw)) << "raw control character in:\n" << r.out;
    std::vector<std::string> shown = {"\"A\\x1b[2JB\\x07C\\u0085D\\u009b31mE\"", "\"X\\x1b]0;owned\\x07Y\""};
    if (!UnderWine()) shown.push_back("odd\\x1b[31m.exe: ");
    for (const std::string& s : shown) EXPECT_TRUE(Contains(r.out, s)) << s << "\n" << r.out;

    r = Mk({"inspect", "--json", path});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const char* raw : {"\x1b", "\x07"}) EXPECT_FALSE(Contains(r.out, raw)) << r.out;
    WriteText(dir / "out.json", r.out);
    WriteText(dir / "text.txt", text);
    WriteText(dir / "version.txt", version);
    WriteText(dir / "path.txt", path);
    const std::string check =
        "/usr/bin/python3 -c 'import json, sys\n"
        "d = json.load(open(sys.argv[1], encoding=\"utf-8\"))\n"
        "want = lambda n: open(n, encoding=\"utf-8\", newline=\"\").read()\n"
        "assert d[\"header\"][\"unsupportedWindowsMessage\"][\"text\"] == want(sys.argv[2])\n"
        "assert d[\"launcher\"][\"versionInfo\"][\"strings\"][\"Comments\"] == want(sys.argv[3])\n"
        "assert d[\"file\"] == want(sys.argv[4])' " +
        File("out.json") + " " + File("text.txt") + " " + File("version.txt") + " " + File("path.txt");
    EXPECT_EQ(std::system(check.c_str()), 0) << r.out;
}

// One of a thing is "1 byte", never "1 bytes", wherever a count is shown.
TEST_F(MkpackageTest, CountsOfOneAreSingular) {
    const std::string one = Put("one.bin", {'x'});
    std::vector<std::string> args = {"build", "--stub", stub, "--engine64", one, "--allow", "all",
                                     "--wrong-width-text", "w", "--unsupported-text", "\xC3\xA9", "--data", one,
                                     "--checked-data", "1", "-o", File("pkg.exe")};
    RunResult r = Mk(args);
    ASSERT_EQ(r.exitCode, 0) << Describe(args, r);
    Bytes package = ReadBytes(File("pkg.exe"));
    package.push_back(0);
    Put("pkg.exe", package);

    const RunResult inspect = Mk({"inspect", File("pkg.exe")});
    const RunResult verify = Mk({"verify", File("pkg.exe")});
    const RunResult extract = Mk({"extract", File("pkg.exe"), "--engine64", "-o", File("x.exe")});
    args = {"build", "--stub", stub, "--engine64", one, "--allow", "all", "--data", one, "--checked-data", "2",
            "-o", File("y.exe")};
    const RunResult refused = Mk(args);
    EXPECT_EQ(refused.exitCode, 2) << Describe(args, refused);
    const struct {
        const RunResult* run;
        std::string shows;
    } cases[] = {
        {&inspect, "(1 byte of engine data, 1 of them checked)"},
        {&inspect, "wrong-width text   1 UTF-16 unit at"},
        {&inspect, "unsupported text   1 UTF-16 unit at"},
        {&inspect, "engine64 decoding  passes: decodes to exactly 1 byte\n"},
        {&inspect, "1 byte after the package (a signature?)"},
        {&verify, "decode to exactly 1 byte\n"},
        {&verify, "OK wrongWidthMessage: 1 UTF-16 unit at offset"},
        {&extract, File("x.exe") + ": 1 byte, the 64-bit engine"},
        {&refused, "--checked-data 2 is more than the 1 byte of --data"},
    };
    for (const auto& c : cases) {
        const std::string all = c.run->out + c.run->err;
        EXPECT_TRUE(Contains(all, c.shows)) << c.shows << "\n" << all;
    }
    const std::regex plural("(^|[^0-9])1 (bytes|UTF-16 units|packed bytes)");
    for (const RunResult* run : {&inspect, &verify, &extract, &refused})
        EXPECT_FALSE(std::regex_search(run->out + run->err, plural)) << run->out << run->err;
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

TEST_F(MkpackageTest, BuiltInLaunchersAreTheWindowsBuilds) {
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

TEST_F(MkpackageTest, InspectTellsALauncherOfOneSOwn) {
    const std::string other = (fs::path(STUB32_PATH).parent_path() / "tests" / "engines" /
                               "stub32-static-mpr.exe").string();
    ASSERT_TRUE(fs::exists(other)) << other;
    const std::string engine = Put("e.bin", EngineBytes(2000, 32));
    const struct {
        std::vector<std::string> launcher;
        const char* shows;
        const char* json;
    } cases[] = {
        {{"--stub", other}, "launcher           not one built into this mkpackage (", "\"builtIn\": null"},
        {{"--icon", Put("icon.ico", SmallIcon())},
         "launcher           the built-in stub32.exe with other resources (icon or version information",
         "\"builtIn\": \"stub32.exe\", \"identical\": false"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"build", "--engine32", engine, "--refuse-64bit", "--allow", "all",
                                         "--wrong-width-text", "w", "-o", File("pkg.exe")};
        args.insert(args.begin() + 1, c.launcher.begin(), c.launcher.end());
        RunResult r = Mk(args);
        ASSERT_EQ(r.exitCode, 0) << Describe(args, r);
        r = Mk({"inspect", File("pkg.exe")});
        EXPECT_TRUE(Contains(r.out, c.shows)) << c.shows << "\n" << r.out;
        r = Mk({"inspect", "--json", File("pkg.exe")});
        EXPECT_TRUE(Contains(r.out, c.json)) << c.json << "\n" << r.out;
    }
}

}  // namespace
