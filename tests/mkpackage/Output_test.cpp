// The file build and extract write, OUT: refused when it is one of the
// inputs, replaced only when complete, and never left half-written after a
// failure or an interruption.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdlib>
#include <functional>

#include "CliRunner.h"
#include "TestFiles.h"
#include "TestPackages.h"

using namespace mk;

namespace {

class Output : public MkpackageTest {
protected:
    // A build of a small engine to out, and the same build made to a plain
    // file first, to compare with what out received.
    RunResult BuildTo(const std::string& out, const RunOptions& options = {}) {
        const std::vector<std::string> args = {"build", "--engine64", Put("e.bin", EngineBytes(20000, 64)), "--allow",
                                               "all", "--wrong-width-text", "w", "-o", out};
        if (!fs::exists(File("plain.exe"))) {
            std::vector<std::string> plain = args;
            plain.back() = File("plain.exe");
            EXPECT_EQ(Mk(plain).exitCode, 0);
        }
        return Mk(args, options);
    }
};

// Whether a temporary file of mkpackage's is in folder.
bool TemporaryFileIn(const fs::path& folder) {
    for (const auto& e : fs::directory_iterator(folder))
        if (IsTemporaryName(e.path().filename().string())) return true;
    return false;
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
TEST_F(Output, AnEarlierOutputIsOverwritten) {
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

// The package only ever appears complete under its final name.
TEST_F(Output, FailedBuildLeavesAnEarlierOutputUntouched) {
    const Bytes earlier = {'o', 'l', 'd'};
    Put("out.exe", earlier);
    const RunResult r = Mk({"build", "--stub", stub, "--engine32", File("gone.bin"), "--allow", "all", "-o",
                            File("out.exe")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(ReadBytes(File("out.exe")), earlier);
    EXPECT_EQ(Listing(), std::vector<std::string>{"out.exe"});
}

TEST_F(Output, UnwritableOutputLeavesNoTemporaryFile) {
    const std::string engine = Put("e.bin", EngineBytes(1000));
    fs::create_directory(dir / "out.exe");  // rename over a folder fails
    RunResult r = Mk({"build", "--stub", stub, "--engine32", engine, "--allow", "all", "-o", File("out.exe")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Contains(r.err, File("out.exe"))) << r.err;
    EXPECT_EQ(Listing(), (std::vector<std::string>{"e.bin", "out.exe"}));
    EXPECT_TRUE(fs::is_directory(dir / "out.exe"));

    r = Mk({"build", "--stub", stub, "--engine32", engine, "--allow", "all", "-o", File("nowhere/out.exe")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Contains(r.err, File("nowhere"))) << r.err;
}

// Ctrl+C while the package is being written: the temporary file goes, and
// an earlier OUT stays.  (On Windows Ctrl+C is a console control event;
// Wine turns SIGINT into one.)
TEST_F(Output, InterruptedBuildLeavesNothing) {
    const Bytes earlier = {'o', 'l', 'd'};
    Put("out.exe", earlier);
    const std::string engine = Put("big.bin", EngineBytes(24u << 20, 3));
    const std::vector<std::string> args = {"build", "--stub", stub, "--engine64", engine, "--allow", "all",
                                           "--preset", "0", "-o", File("out.exe")};
    // Wait until the temporary file is there: it is made before the engine
    // is packed, and the package written into it.
    RunResult early;
    const pid_t pid = StartUntil(args, [&](pid_t) { return TemporaryFileIn(dir); }, early);
    ASSERT_GT(pid, 0) << "the build never wrote its package: " << Describe(args, early);
    kill(pid, SIGINT);
    const RunResult r = FinishMk(pid);
    EXPECT_NE(r.exitCode, 0) << "the build finished before the interruption; make the engine bigger";
    EXPECT_EQ(Listing(), (std::vector<std::string>{"big.bin", "out.exe"})) << Describe(args, r);
    EXPECT_EQ(ReadBytes(File("out.exe")), earlier);
}

// An OUT that exists and is no regular file is written into, as cp does,
// never replaced: a device stays a device (-o /dev/null as root once left a
// package where the device node was), a FIFO's reader gets the package.
TEST_F(Output, DevicesAndPipesAreWrittenIntoNotReplaced) {
    // A null device of the test's own, where one can be made (as root): the
    // system's /dev/null is no thing to risk.
    std::string device = File("null");
    if (mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) device = "/dev/null";
    RunResult r = BuildTo(device);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    struct stat st {};
    ASSERT_EQ(stat(device.c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << device << " is no longer a device";
    r = Mk({"extract", File("plain.exe"), "--engine64", "-o", device});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    if (UnderWine()) {
        r = BuildTo("NUL");
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_FALSE(fs::exists(File("NUL")));
    }

    ASSERT_EQ(mkfifo(File("fifo").c_str(), 0600), 0);
    const pid_t reader = fork();
    if (reader == 0) {
        alarm(60);
        const int in = open(File("fifo").c_str(), O_RDONLY), out = open(File("read.exe").c_str(), O_WRONLY | O_CREAT, 0600);
        char buffer[4096];
        for (ssize_t n; (n = read(in, buffer, sizeof buffer)) > 0;)
            if (write(out, buffer, static_cast<size_t>(n)) != n) _exit(1);
        _exit(0);
    }
    r = BuildTo(File("fifo"));
    waitpid(reader, nullptr, 0);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(fs::is_fifo(File("fifo")));
    EXPECT_TRUE(ReadBytes(File("read.exe")) == ReadBytes(File("plain.exe")));
    EXPECT_FALSE(TemporaryFileIn(dir));
}

// Standard output as OUT ("-", or /dev/stdout): the package goes there
// whole, and what was built is said on standard error, apart from it.  A
// terminal is refused: a package is no text.
TEST_F(Output, StandardOutputTakesThePackageAndTheWordsGoToStandardError) {
    // /dev/stdout is a link to /proc/self/fd/1; the test's own link of that
    // kind stands in for it, so that no system file is ever at stake.
    fs::create_symlink("/proc/self/fd/1", dir / "stdout");
    const struct {
        const char* name;
        bool extract;
        std::string out;
        bool posixOnly;
    } cases[] = {
        {"build to -", false, "-", false},
        {"build to a link to /proc/self/fd/1, as /dev/stdout is", false, File("stdout"), true},
        {"extract to -", true, "-", false},
    };
    ASSERT_EQ(BuildTo(File("first.exe")).exitCode, 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // /proc/self/fd/1 is a name of Linux; Windows has none.
        if (UnderWine() && c.posixOnly) continue;
        RunOptions captured;
        captured.stdoutPath = File("captured");
        const RunResult r = c.extract ? Mk({"extract", File("plain.exe"), "--engine64", "-o", c.out}, captured)
                                      : BuildTo(c.out, captured);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(ReadBytes(File("captured")) == (c.extract ? ReadBytes(File("e.bin")) : ReadBytes(File("plain.exe"))));
        EXPECT_TRUE(Contains(r.err, c.extract ? ": 20000 bytes, the 64-bit engine of" : "bytes, package at")) << r.err;
        EXPECT_FALSE(TemporaryFileIn(dir));
    }
    // Windows consoles are no ptys, so this is the POSIX side only.
    if (UnderWine()) return;
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(grantpt(terminal), 0);
    ASSERT_EQ(unlockpt(terminal), 0);
    RunOptions onTerminal;
    onTerminal.stdoutPath = ptsname(terminal);
    for (const std::string& out : {std::string("-"), File("stdout")}) {
        const RunResult r = BuildTo(out, onTerminal);
        EXPECT_EQ(r.exitCode, 1) << out << "\n" << r.err;
        EXPECT_TRUE(Contains(r.err, "is a terminal; a package is no text")) << r.err;
    }
    close(terminal);
}

// A symbolic link as OUT is followed, as cp does: the file it points to
// gets the package and the link stays.  A link that points nowhere is
// refused, as cp refuses it: /dev/stdout is one when standard output is
// closed, and no such name is to be replaced by a file.
TEST_F(Output, ASymbolicLinkIsFollowed) {
    if (UnderWine())
        GTEST_SKIP() << "Wine shows a Unix symbolic link as the file itself, and MoveFileExW replaces it; Windows' "
                        "own links are followed through GetFinalPathNameByHandleW";
    fs::create_directory(dir / "real");
    Put("real/setup.exe", {'o', 'l', 'd'});
    fs::create_symlink("real/setup.exe", dir / "link.exe");
    ASSERT_EQ(BuildTo(File("link.exe")).exitCode, 0);
    EXPECT_TRUE(fs::is_symlink(dir / "link.exe"));
    EXPECT_TRUE(ReadBytes(File("real/setup.exe")) == ReadBytes(File("plain.exe")));

    fs::create_symlink("real/missing.exe", dir / "dangling.exe");
    RunResult r = BuildTo(File("dangling.exe"));
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_TRUE(Contains(r.err, File("dangling.exe") + " is a symbolic link that points nowhere")) << r.err;
    EXPECT_TRUE(fs::is_symlink(dir / "dangling.exe"));
    // A link like /dev/stdout, with standard output closed: it names no file
    // of mkpackage's own, and the package goes nowhere.
    fs::create_symlink("/proc/self/fd/1", dir / "stdout");
    RunOptions closed;
    closed.closeStdout = true;
    r = BuildTo(File("stdout"), closed);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_TRUE(Contains(r.err, "cannot write standard output")) << r.err;
    EXPECT_TRUE(fs::is_symlink(dir / "stdout"));
    EXPECT_TRUE(ReadBytes(File("e.bin")) == EngineBytes(20000, 64));
    EXPECT_FALSE(fs::exists(File("real/missing.exe")));
    EXPECT_FALSE(TemporaryFileIn(dir / "real") || TemporaryFileIn(dir));
}

// Any name the file system takes works for OUT (255 bytes here): the
// temporary file's name does not grow with OUT's.
TEST_F(Output, NamesOfEveryLengthTheFileSystemTakes) {
    const std::string name = std::string(251, 'n') + ".exe";
    RunResult r = BuildTo(File(name));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(ReadBytes(File(name)) == ReadBytes(File("plain.exe")));
    const std::string engine = std::string(251, 'e') + ".bin";
    r = Mk({"extract", File(name), "--engine64", "-o", File(engine)});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(ReadBytes(File(engine)) == ReadBytes(File("e.bin")));
}

// OUT's folder is judged before the engines are packed, which takes minutes
// at --preset 9 for a big engine: the engine here is never read.
TEST_F(Output, OutsFolderIsJudgedBeforeTheEnginesArePacked) {
    MakeSparse(File("big.bin"), 512u << 20);
    fs::create_directory(dir / "folder");
    Put("file.txt", {'x'});
    const struct {
        std::string out;
        std::vector<std::string> saying;
    } cases[] = {
        {File("nowhere/out.exe"), {"cannot create a file in " + File("nowhere") + ": "}},
        {File("file.txt/out.exe"), {"cannot create a file in " + File("file.txt") + ": "}},
        {File("folder"), {File("folder") + " is a folder; name the file to write"}},
        {File("folder") + "/", {" is a folder; name the file to write"}},
        {File("missing") + "/", {File("missing"), " ends in '"}},
    };
    for (const auto& c : cases) {
        const std::vector<std::string> args = {"build", "--engine64", File("big.bin"), "--allow", "all",
                                               "--wrong-width-text", "w", "--preset", "9", "-o", c.out};
        const RunResult r = Mk(args);
        EXPECT_EQ(r.exitCode, 1) << Describe(args, r);
        for (const std::string& part : c.saying) EXPECT_TRUE(Contains(r.err, part)) << part << "\n" << r.err;
        EXPECT_LT(r.peakRss, kSmallPeak) << "the engine was read: " << Describe(args, r);
        EXPECT_EQ(Listing(), (std::vector<std::string>{"big.bin", "file.txt", "folder"}));
    }
}

// A signal the caller set to be ignored stays ignored while OUT is made:
// under nohup (SIGHUP) or as a script's background job (SIGINT) the build
// goes on and finishes.
TEST_F(Output, SignalsTheCallerIgnoresStayIgnored) {
    if (UnderWine())
        GTEST_SKIP() << "Windows has no SIGHUP, and a Ctrl+C the caller ignores reaches no handler there: the "
                        "system keeps it ignored";
    // Big enough that the signal comes while the package is made.
    const std::string engine = Put("big.bin", EngineBytes(6u << 20, 3));
    for (const int sig : {SIGHUP, SIGINT}) {
        SCOPED_TRACE(sig);
        const std::vector<std::string> args = {"build", "--engine64", engine, "--allow", "all", "--wrong-width-text",
                                               "w", "--preset", "0", "-o", File("out.exe")};
        RunOptions ignoring;
        ignoring.ignoredSignals = {sig};
        RunResult early;
        const pid_t pid = StartUntil(args, [&](pid_t) { return TemporaryFileIn(dir); }, early, ignoring);
        ASSERT_GT(pid, 0) << "the build never made its output: " << Describe(args, early);
        kill(pid, sig);
        const RunResult r = FinishMk(pid);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(Mk({"verify", File("out.exe")}).exitCode, 0);
        fs::remove(File("out.exe"));
    }
}

}  // namespace
