// mkpackage inspect (words and JSON), signing with osslsigncode, and the
// tool's own help, version and progress display.
#include <cstdlib>

#include "CliRunner.h"
#include "TestPackages.h"

using namespace mk;

namespace {

TEST_F(MkpackageTest, InspectDescribesEveryField) {
    const std::vector<std::string> args = {
        "build", "--stub", stub, "--engine32", Put("e32.bin", EngineBytes(3000, 32)), "--refuse-64bit",
        "--allow", "xp,vista,7,8,8.1,10,11,later", "--win10", "1607-2004", "--win11", "2110-",
        "--elevation", "noadmin", "--wrong-width-text", "Nur 32 Bit", "--unsupported-text",
        "Setup does not run on %USER%.", "--data", Put("d.bin", Bytes(1000, 1)), "--checked-data", "10",
        "-o", File("pkg.exe")};
    RunResult r = Mk(args);
    ASSERT_EQ(r.exitCode, 0) << Describe(args, r);
    const Bytes package = ReadBytes(File("pkg.exe"));
    const PackageLocator l = LocatorOf(package);
    r = Mk({"inspect", File("pkg.exe")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string shows[] = {
        "packageOffset      " + std::to_string(l.packageOffset),
        "checkedLength      " + std::to_string(l.checkedLength),
        "expectedFileSize   " + std::to_string(package.size()),
        "minimumFileSize    0 (off)",
        "LZMA properties    0x5D: lc 3, lp 0, pb 2; dictionary 4194304 bytes",
        "allowed Windows    xp, vista, 7, 8, 8.1, 10, 11, later (E0 0F 00 00 00 00 00 80)",
        "Windows 10         releases 1607 to 2004\n",
        "Windows 11         releases 2110 to 9999 (no upper bound)",
        "elevation          2, noadmin",
        "engine64           none; 64-bit Windows is refused",
        "1000 bytes of engine data, 10 of them checked",
        "wrong-width text   10 UTF-16 units at",
        ": \"Nur 32 Bit\"",
        ": \"Setup does not run on %USER%.\"",
        "size rule          passes",
        "CRC-32             passes",
        "after the package  nothing",
    };
    for (const std::string& s : shows) EXPECT_TRUE(Contains(r.out, s)) << s << "\n" << r.out;

    // A damaged copy is still described, with the failing checks named.
    Bytes damaged = package;
    damaged[l.packageOffset + 30] ^= 1;
    damaged.resize(damaged.size() - 3);
    r = Mk({"inspect", Put("damaged.exe", damaged)});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "size rule          FAILS")) << r.out;
    EXPECT_TRUE(Contains(r.out, "CRC-32             FAILS")) << r.out;
    EXPECT_TRUE(Contains(r.out, "the file is 3 bytes short")) << r.out;

    r = Mk({"inspect", stub});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Contains(r.err, stub + ": no package")) << r.err;
}

TEST_F(MkpackageTest, InspectJsonEscapesTexts) {
    // Quote, backslash, line break, tab, a control character and non-ASCII.
    const std::string text = "say \"hi\" C:\\Temp\r\n\tbell\x07 \xC3\xBC \xF0\x9F\x98\x80";
    RunResult r = Mk({"build", "--stub", stub, "--engine64", Put("e.bin", EngineBytes(2000)), "--allow", "10,11",
                      "--unsupported-text", text, "-o", File("pkg.exe")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = Mk({"inspect", "--json", File("pkg.exe")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string shows[] = {
        "\"text\": \"say \\\"hi\\\" C:\\\\Temp\\r\\n\\tbell\\u0007 \xC3\xBC \xF0\x9F\x98\x80\"",
        "\"allowedWindows\": [\"10\", \"11\"]",
        "\"win10\": {\"min\": 1507, \"max\": 9999, \"noUpperBound\": true}",
        "\"engine32\": null",
        "\"refuses64BitWindows\": false",
        "\"wrongWidthMessage\": {\"offset\": 0, \"length\": 0, \"text\": \"\"}",
        "\"checks\": {\"sizeRule\": true, \"crc\": true",
        "\"bytesAfterPackage\": 0, \"certificateTable\": null,\n \"warnings\": []}",
    };
    for (const std::string& s : shows) EXPECT_TRUE(Contains(r.out, s)) << s << "\n" << r.out;
    EXPECT_EQ(r.out.front(), '{');
    EXPECT_EQ(r.out.substr(r.out.size() - 2), "}\n");

    // When python3 is at hand, it must accept the object.
    if (std::system("command -v python3 >/dev/null 2>&1") == 0) {
        WriteText(dir / "out.json", r.out);
        const std::string check = "python3 -c 'import json,sys; json.load(open(sys.argv[1]))' " + File("out.json");
        EXPECT_EQ(std::system(check.c_str()), 0) << r.out;
    }
}

// Build, then sign: the launcher (and verify) accept the certificate table
// after the package, inspect reports it, and the signature itself holds.
TEST_F(MkpackageTest, SignedPackageStillVerifies) {
    if (std::system("command -v openssl >/dev/null 2>&1 && command -v osslsigncode >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "openssl or osslsigncode is missing";
    RunResult r = Mk({"build", "--stub", stub, "--engine64", stub, "--allow", "all", "--unsupported-text",
                      "Not for %USER%.", "-o", File("pkg.exe")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const uint64_t built = fs::file_size(File("pkg.exe"));
    const std::string d = dir.string();
    const std::string make = "cd '" + d + "' && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem"
                             " -days 2 -subj /CN=mkpackage-test >/dev/null 2>&1 && osslsigncode sign -certs cert.pem"
                             " -key key.pem -in pkg.exe -out signed.exe >/dev/null 2>&1";
    ASSERT_EQ(std::system(make.c_str()), 0);
    const uint64_t signedSize = fs::file_size(File("signed.exe"));
    ASSERT_GT(signedSize, built);

    r = Mk({"verify", File("signed.exe")});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    r = Mk({"inspect", File("signed.exe")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, std::to_string(signedSize - built) + " bytes after the package (a signature?)"))
        << r.out;
    EXPECT_TRUE(Contains(r.out, "signature          certificate table of")) << r.out;
    EXPECT_FALSE(Contains(r.out, "INSIDE the package")) << r.out;

    const std::string check = "cd '" + d + "' && osslsigncode verify -CAfile cert.pem signed.exe >/dev/null 2>&1";
    EXPECT_EQ(std::system(check.c_str()), 0);

    // The signed file is no stub for another package.
    r = Mk({"build", "--stub", File("signed.exe"), "--engine64", stub, "--allow", "all", "-o", File("again.exe")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_FALSE(fs::exists(File("again.exe")));
}

TEST_F(MkpackageTest, HelpAndVersion) {
    RunResult r = Mk({"--help"});
    EXPECT_EQ(r.exitCode, 0);
    for (const char* command : {"build", "inspect", "verify", "extract"}) {
        EXPECT_TRUE(Contains(r.out, std::string("  ") + command + " ")) << r.out;
        const RunResult own = Mk({command, "--help"});
        EXPECT_EQ(own.exitCode, 0) << command;
        EXPECT_TRUE(Contains(own.out, std::string("usage: mkpackage ") + command)) << own.out;
        EXPECT_TRUE(Contains(own.out, "Examples:")) << own.out;
        EXPECT_EQ(Mk({command, "-h"}).out, own.out);
    }
    // Every option the builder takes is explained, with its default.
    const RunResult build = Mk({"build", "--help"});
    for (const char* option :
         {"--stub", "--engine32", "--engine64", "--refuse-64bit", "--data", "--checked-data", "--allow", "--win10",
          "--win11", "--elevation", "--minimum-file-size", "--wrong-width-text", "--wrong-width-file",
          "--unsupported-text", "--unsupported-file", "--preset", "--extreme", "--dict", "--lc", "--lp", "--pb",
          "--end-marker", "--output", "default 6", "default 4MiB", "default 0", "%USER%"})
        EXPECT_TRUE(Contains(build.out, option)) << option;

    r = Mk({"--version"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.rfind("mkpackage ", 0), 0u) << r.out;

    r = Mk({});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(Contains(r.err, "usage: mkpackage")) << r.err;
    r = Mk({"pack"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(Contains(r.err, "unknown command 'pack'")) << r.err;
}

// Progress appears on a terminal, for large engines only, and never in a
// pipe, where it would spoil logs.
TEST_F(MkpackageTest, ProgressOnlyOnATerminal) {
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
    const RunResult piped = Mk({"build", "--stub", stub, "--engine64", big, "--allow", "all", "--preset", "0", "-o",
                                File("c.exe")});
    EXPECT_EQ(piped.exitCode, 0);
    EXPECT_FALSE(Contains(piped.err, "compressing")) << piped.err;
}

}  // namespace
