// How every command reads its inputs: huge files refused by their size or
// found to hold no package without being read, failures under a memory
// limit that name the file, and pipes.
#include <sys/stat.h>
#include <unistd.h>

#include "CliRunner.h"
#include "TestFiles.h"
#include "TestPackages.h"

using namespace mk;

namespace {

class Inputs : public MkpackageTest {};

// ---------------------------------------------------------------------------
// Huge inputs: refused by their size, or found to hold no package, without
// being read; what is read under a memory limit fails naming the file.

TEST_F(Inputs, HugeFilesWithoutAPackageAreNotRead) {
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

TEST_F(Inputs, HugeInputsAreRefusedBeforeTheyAreRead) {
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
TEST_F(Inputs, UnderAMemoryLimitFailuresNameTheFile) {
    // Wine itself needs far more address space than the limit leaves.
    if (UnderWine()) GTEST_SKIP() << "an address-space limit this small stops Wine itself";
    constexpr uint64_t kLimit = 96u << 20;
    const std::string engine = Put("e.bin", EngineBytes(20000, 64));
    MakeSparse(File("256MiB.bin"), 256u << 20);
    // The compressor takes about ten times its dictionary, which is no
    // larger than the engine.
    MakeSparse(File("16MiB.bin"), 16u << 20);
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
        {"the compressor's dictionary", {"--engine64", File("16MiB.bin"), "--dict", "1536MiB"}, false,
         "--engine64 " + File("16MiB.bin")},
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
    for (const std::string& name : Listing()) {
        EXPECT_EQ(name.find("out.exe"), std::string::npos) << name;
        EXPECT_FALSE(IsTemporaryName(name)) << name;
    }
}

// ---------------------------------------------------------------------------
// Inputs that are pipes (<(cat e.exe), /dev/stdin, "-"): read whole, and
// the package is the one the same files make.

struct PipedInput {
    const char* name;
    const char* option;
    enum Through { kFifo, kStdinPipe, kStdinFile } through;
    const char* stdinName = "/dev/stdin";  // how the option names standard input
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
    {"Engine64FromDashPipe", "--engine64", PipedInput::kStdinPipe, "-"},
    {"DataFromDashFile", "--data", PipedInput::kStdinFile, "-"},
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
    // named FIFO or pipe path, which the kFifo rows cover, or as "-".
    if (UnderWine() && c.through != PipedInput::kFifo && c.stdinName != std::string("-"))
        GTEST_SKIP() << "/dev/stdin exists on POSIX systems only";
    const std::string original = files[c.option];
    RunOptions options;
    pid_t writer = 0;
    if (c.through == PipedInput::kStdinFile) {
        options.stdinPath = original;
        files[c.option] = c.stdinName;
    } else {
        ASSERT_EQ(mkfifo(File("fifo").c_str(), 0600), 0);
        writer = StartWriter(File("fifo"), ReadBytes(original));
        if (c.through == PipedInput::kStdinPipe) options.stdinPath = File("fifo");
        files[c.option] = c.through == PipedInput::kStdinPipe ? c.stdinName : File("fifo");
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
// Streams (pipes, devices, "-") that verify, inspect and extract read: first
// bytes that can begin no package end the run at once, and a stream is read
// no further than the package it announces and its certificate table, into
// a temporary file rather than memory.

TEST_F(Inputs, StreamsAreReadNoFurtherThanAPackageCanBe) {
    const Bytes package = ReadBytes(MakePackage("pkg.exe", 200000));
    ASSERT_EQ(mkfifo(File("fifo").c_str(), 0600), 0);
    const struct {
        const char* name;
        std::vector<std::string> args;
        bool endlessPackage;  // stdin: the package, then zeros without end
        int exitCode;
        std::string saying;   // in stderr
    } cases[] = {
        {"verify /dev/zero", {"verify", "/dev/zero"}, false, 1,
         "/dev/zero: no package: the file is no Windows program"},
        {"inspect /dev/zero", {"inspect", "--json", "/dev/zero"}, false, 1, "/dev/zero: no package"},
        {"extract /dev/zero", {"extract", "/dev/zero", "--engine64", "-o", File("x.exe")}, false, 1,
         "/dev/zero: no package"},
        {"verify /dev/urandom", {"verify", "/dev/urandom"}, false, 1, "/dev/urandom: no package"},
        {"verify an endless FIFO", {"verify", File("fifo")}, true, 0,
         "warning: the stream goes on after byte " + std::to_string(package.size()) +
             ", where the package and its certificate table end"},
        {"extract from an endless FIFO", {"extract", File("fifo"), "--engine64", "-o", File("x.exe")}, true, 0,
         "the stream goes on after byte"},
        {"verify an endless standard input", {"verify", "-"}, true, 0, "the stream goes on after byte"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Windows has no /dev/zero and no stdin pipe by that name; its
        // pipes arrive as named FIFOs, which the FIFO rows cover.
        if (UnderWine() && c.args[1] == "-") continue;
        RunOptions options;
        pid_t writer = 0;
        if (c.endlessPackage) {
            writer = StartWriter(File("fifo"), Bytes(1 << 20, 0), 0, package);
            if (c.args[1] == "-") options.stdinPath = File("fifo");
        }
        const RunResult r = Mk(c.args, options);
        if (writer) StopWriter(writer);
        EXPECT_EQ(r.exitCode, c.exitCode) << Describe(c.args, r);
        EXPECT_TRUE(Contains(r.err, c.saying)) << c.saying << "\n" << r.err;
        EXPECT_LT(r.peakRss, kSmallPeak) << Describe(c.args, r);
        if (c.args[0] == std::string("extract") && c.exitCode == 0) {
            EXPECT_TRUE(ReadBytes(File("x.exe")) == ReadBytes(File("e.bin")));
            fs::remove(File("x.exe"));
        }
    }
    EXPECT_FALSE(fs::exists(File("x.exe")));

    // "-" is standard input also when it is a file, which is then mapped.
    if (UnderWine()) return;
    RunOptions fromFile;
    fromFile.stdinPath = File("pkg.exe");
    const RunResult r = Mk({"verify", "-"}, fromFile);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "-: OK")) << r.out;
    EXPECT_FALSE(Contains(r.err, "warning")) << r.err;
}

// A file that another program changes while it is read (cp over it, a
// restarted download): a shrinking one, whose mapped pages vanish, once
// ended the run with SIGBUS; one rewritten in place gave a package of
// neither version.  Now the run ends naming the file, exit 1, nothing
// written.
TEST_F(Inputs, AFileThatChangesWhileItIsReadEndsTheRunNamingIt) {
    // A package whose checked block, 1.5 GiB of holes, takes verify a
    // while to sum.
    Bytes small = ReadBytes(MakePackage("small.exe"));
    PackageLocator l = LocatorOf(small);
    const uint64_t size = 1536ull << 20;
    l.checkedLength = static_cast<uint32_t>(size - l.packageOffset);
    l.expectedSizeLow = static_cast<uint32_t>(size);
    SetLocator(small, l);
    const struct {
        const char* name;
        std::vector<std::string> args;
        std::string changed;  // the file changed once it is read
        bool shrinks;         // or rewritten in place
        std::string saying;
    } cases[] = {
        {"verify of a package that shrinks", {"verify", File("pkg.exe")}, File("pkg.exe"), true,
         File("pkg.exe") + " changed while it was read"},
        {"build of an engine that shrinks",
         {"build", "--engine64", File("engine.bin"), "--allow", "all", "--wrong-width-text", "w", "--preset", "0",
          "-o", File("out.exe")},
         File("engine.bin"), true, "--engine64 " + File("engine.bin") + " changed while it was read"},
        {"build of an engine rewritten in place",
         {"build", "--engine64", File("engine.bin"), "--allow", "all", "--wrong-width-text", "w", "--preset", "0",
          "-o", File("out.exe")},
         File("engine.bin"), false, "--engine64 " + File("engine.bin") + " changed while it was read"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MakeSparse(File("pkg.exe"), size, small);
        MakeSparse(File("engine.bin"), 256u << 20);
        RunResult early;
        const pid_t pid = StartUntil(c.args, [&](pid_t p) { return HasMapped(p, c.changed); }, early);
        ASSERT_GT(pid, 0) << "it never read " << c.changed << ": " << Describe(c.args, early);
        if (c.shrinks) {
            ASSERT_EQ(truncate(c.changed.c_str(), 100000), 0);
        } else {
            const int fd = open(c.changed.c_str(), O_WRONLY);
            ASSERT_EQ(pwrite(fd, "X", 1, 100u << 20), 1);
            close(fd);
        }
        const RunResult r = FinishMk(pid);
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_TRUE(Contains(r.err, c.saying)) << c.saying << "\n" << r.err;
        EXPECT_FALSE(Contains(r.out, ": OK")) << r.out;
        EXPECT_EQ(Listing(), (std::vector<std::string>{"e.bin", "engine.bin", "pkg.exe", "small.exe"}));
    }
}

}  // namespace
