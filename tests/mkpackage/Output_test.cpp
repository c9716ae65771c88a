// The file build and extract write, OUT: refused when it is one of the
// inputs, replaced only when complete, and never left half-written after a
// failure or an interruption.
#include <functional>

#include "CliRunner.h"
#include "TestFiles.h"
#include "TestPackages.h"

using namespace mk;

namespace {

class Output : public MkpackageTest {};

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
    const pid_t pid = Start(Program(), Arguments(args), dir);
    // Wait until the package is being written (or the build has ended).
    auto writing = [&] {
        for (const std::string& name : Listing())
            if (name.rfind("out.exe.tmp-", 0) == 0) return true;
        return false;
    };
    bool caught = false;
    for (int i = 0; i < 30000 && !caught; ++i) {
        caught = writing();
        if (!caught) {
            if (waitpid(pid, nullptr, WNOHANG) == pid) break;
            usleep(1000);
        }
    }
    ASSERT_TRUE(caught) << "the build never wrote its package";
    kill(pid, SIGINT);
    const RunResult r = Finish(pid, dir);
    EXPECT_NE(r.exitCode, 0) << "the build finished before the interruption; make the engine bigger";
    EXPECT_EQ(Listing(), (std::vector<std::string>{"big.bin", "out.exe"}));
    EXPECT_EQ(ReadBytes(File("out.exe")), earlier);
}

}  // namespace
