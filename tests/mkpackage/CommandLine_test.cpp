// The command line of every command: help and version, the small rules of
// option values, a standard output that cannot be written, and the words
// results are given in.
#include <functional>
#include <regex>
#include <sstream>

#include "CliRunner.h"
#include "TestPackages.h"

using namespace mk;

namespace {

class CommandLine : public MkpackageTest {};

TEST_F(CommandLine, HelpAndVersion) {
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

    EXPECT_TRUE(Contains(r.out, "--version, -V")) << r.out;
    r = Mk({"--version"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.rfind("mkpackage ", 0), 0u) << r.out;
    EXPECT_EQ(Mk({"-V"}).out, r.out);

    r = Mk({});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(Contains(r.err, "usage: mkpackage")) << r.err;
    r = Mk({"pack"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(Contains(r.err, "unknown command 'pack'")) << r.err;
}

// ---------------------------------------------------------------------------
// The small rules of the command line.

// An option that names a file takes no empty value: "--data $PAYLOAD" with
// the variable unset would otherwise build a package without its data.
TEST_F(CommandLine, EmptyFileNamesAreUsageErrors) {
    MakePackage("pkg.exe", 3000);
    const std::string engine = File("e.bin");
    const std::vector<std::string> build = {"build", "--engine64", engine, "--allow", "all", "-o", File("out.exe")};
    const struct {
        std::vector<std::string> args;  // after build's when they start with an option
        const char* saying;
    } cases[] = {
        {{"--stub", ""}, "--stub needs a file name, not an empty value"},
        {{"--icon", ""}, "--icon needs a file name"},
        {{"--engine32", ""}, "--engine32 needs a file name"},
        {{"--engine64", ""}, "--engine64 needs a file name"},
        {{"--data", ""}, "--data needs a file name"},
        {{"--data="}, "--data needs a file name"},
        {{"--wrong-width-file", ""}, "--wrong-width-file needs a file name"},
        {{"--unsupported-file", ""}, "--unsupported-file needs a file name"},
        {{"-o", ""}, "-o needs a file name"},
        {{"--output="}, "--output needs a file name"},
        {{"extract", File("pkg.exe"), "--engine64", "-o", ""}, "-o needs a file name"},
        {{"extract", "", "--engine64", "-o", File("out.exe")}, "FILE is empty"},
        {{"verify", ""}, "FILE is empty"},
        {{"inspect", "--json", ""}, "FILE is empty"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        if (args[0][0] == '-') args.insert(args.begin(), build.begin(), build.end());
        const RunResult r = Mk(args);
        EXPECT_EQ(r.exitCode, 2) << Describe(args, r);
        EXPECT_TRUE(Contains(r.err, c.saying)) << c.saying << "\n" << r.err;
        EXPECT_EQ(Listing(), (std::vector<std::string>{"e.bin", "pkg.exe"})) << Describe(args, r);
    }
}

// Sizes are multiplied out in 64 bits; one that would wrap around is too
// large, not what is left of it (17179869184GiB is 2^64 bytes, which once
// became 0).
TEST_F(CommandLine, SizesThatWouldWrapAroundAreTooLarge) {
    const std::string engine = Put("e.bin", EngineBytes(3000, 64));
    const std::vector<std::string> cases[] = {
        {"--dict", "17179869185GiB"},
        {"--data", Put("data.bin", Bytes(100, 1)), "--checked-data", "17179869184GiB"},
        {"--minimum-file-size", "17179869184GiB"},
        {"--minimum-file-size", "17179869185g"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"build", "--engine64", engine, "--allow", "all", "--wrong-width-text", "w",
                                         "-o", File("out.exe")};
        args.insert(args.end(), c.begin(), c.end());
        const RunResult r = Mk(args);
        EXPECT_EQ(r.exitCode, 2) << Describe(args, r);
        EXPECT_TRUE(Contains(r.err, c[c.size() - 2] + " " + c.back() + " is too large")) << r.err;
        EXPECT_FALSE(fs::exists(File("out.exe")));
    }
}

// "--" ends the options, so that a file whose name starts with '-' can be
// named; after it every word is a FILE.
TEST_F(CommandLine, DoubleDashEndsTheOptions) {
    MakePackage("-pkg.exe", 3000);
    const std::string engine = File("e.bin");
    RunOptions here;
    here.workingDirectory = dir.string();
    const struct {
        std::vector<std::string> args;
        int exitCode;
        const char* saying;  // in stdout on success, else in stderr
    } cases[] = {
        {{"verify", "--", "-pkg.exe"}, 0, "-pkg.exe: OK"},
        {{"verify", "-pkg.exe"}, 2, "unknown option -pkg.exe"},
        {{"inspect", "--json", "--", "-pkg.exe"}, 0, "\"file\": \"-pkg.exe\""},
        {{"extract", "--engine64", "-o", "-engine.exe", "--", "-pkg.exe"}, 0, "-engine.exe: 3000 bytes"},
        {{"verify", "--", "--"}, 1, "--: cannot open"},
        {{"verify", "--", "-pkg.exe", "--json"}, 2, "unexpected argument '--json' (one FILE only)"},
        {{"build", "--engine64", engine, "--allow", "all", "-o", "x.exe", "--", "extra"}, 2,
         "unexpected argument 'extra'"},
    };
    for (const auto& c : cases) {
        const RunResult r = Mk(c.args, here);
        EXPECT_EQ(r.exitCode, c.exitCode) << Describe(c.args, r);
        EXPECT_TRUE(Contains(c.exitCode == 0 ? r.out : r.err, c.saying)) << c.saying << "\n" << Describe(c.args, r);
    }
    EXPECT_TRUE(ReadBytes(File("-engine.exe")) == ReadBytes(engine));
    EXPECT_FALSE(fs::exists(File("x.exe")));
}

TEST_F(CommandLine, CheckedDataNeedsDataWhateverItsValue) {
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

TEST_F(CommandLine, VersionTakesNoArguments) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--version", "extra"}, std::vector<std::string>{"-V", "extra"},
          std::vector<std::string>{"--version", "--help"}}) {
        const RunResult r = Mk(args);
        EXPECT_EQ(r.exitCode, 2) << Describe(args, r);
        EXPECT_TRUE(Contains(r.err, "takes no arguments, not '" + args[1] + "'")) << r.err;
        EXPECT_EQ(r.out, "");
    }
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
TEST_F(CommandLine, CommandsThatPrintNothingKeepTheirExitCode) {
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

// Names come from the user's files and command lines.  A control character
// in one must not reach the terminal, and a line break in one must not forge
// a line of output ("x.exe: OK"): every command shows them escaped, as
// inspect does, in results, warnings and errors alike.
TEST_F(CommandLine, NamesAreShownEscapedByEveryCommand) {
    const std::string forged = "x.exe: OK";
    const std::string package = File("pkg\n" + forged + "\n\x1b[2J.exe");
    const std::string shown = "pkg\\n" + forged + "\\n\\x1b[2J.exe";
    const std::string engine = File("e\x1b]0;title\x07\xff.bin");  // no PE image: a warning
    const std::string engineShown = "e\\x1b]0;title\\x07\\xff.bin";
    const struct {
        bool fileNames;  // the case makes or reads files with such names
        std::vector<std::string> args;
        std::string shows;  // in stdout or stderr
    } cases[] = {
        {true, {"build", "--engine64", engine, "--allow", "all", "--wrong-width-text", "w", "-o", package}, shown + ": "},
        {true, {"build", "--engine64", engine, "--allow", "all", "--wrong-width-text", "w", "-o", File("plain.exe")},
         "warning: --engine64 " + File(engineShown) + ": not a PE image"},
        {true, {"verify", package}, shown + ": OK\n"},
        {true, {"extract", package, "--engine64", "-o", File("out\n" + forged)}, "out\\n" + forged + ": 3000 bytes"},
        {true, {"inspect", package}, shown + ": "},
        {true, {"verify", File("gone\n" + forged)}, "gone\\n" + forged + ": cannot open"},
        {false, {"verify", "--deep\n" + forged}, "unknown option --deep\\n" + forged},
        {false, {"frobnicate\x1b[2J"}, "unknown command 'frobnicate\\x1b[2J'"},
    };
    for (const auto& c : cases) {
        // Windows file names cannot hold control characters; its command
        // lines can.
        if (UnderWine() && c.fileNames) continue;
        if (c.fileNames) WriteBytes(engine, EngineBytes(3000, 64));
        const RunResult r = Mk(c.args);
        const std::string all = r.out + r.err;
        EXPECT_TRUE(Contains(all, c.shows)) << c.shows << "\n" << Describe(c.args, r);
        for (const char* raw : {"\x1b", "\x07", "\xff"}) EXPECT_FALSE(Contains(all, raw)) << Describe(c.args, r);
        std::istringstream lines(all);
        for (std::string line; std::getline(lines, line);) EXPECT_NE(line, forged) << Describe(c.args, r);
    }
}

// One of a thing is "1 byte", never "1 bytes", wherever a count is shown.
TEST_F(CommandLine, CountsOfOneAreSingular) {
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

}  // namespace
