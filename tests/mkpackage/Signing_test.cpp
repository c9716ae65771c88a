// Signed packages.  Signed afterwards: the launcher, verify and inspect
// accept the certificate table after the package; bytes written after it
// are reported, since the signature no longer covers them.  Signed in the
// build (--sign-command): each engine without a signature is signed on a
// copy and packed, the package is signed last, and what the command made is
// checked before it is used.
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "CliRunner.h"
#include "TestFiles.h"
#include "TestPackages.h"

using namespace mk;

namespace {

class Signing : public MkpackageTest {};

// Build, then sign: the launcher (and verify) accept the certificate table
// after the package, inspect reports it, and the signature itself holds.
TEST_F(Signing, SignedPackageStillVerifies) {
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

// ---------------------------------------------------------------------------
// Bytes after the certificate table: the launcher accepts them, but the
// signature no longer covers the file.

TEST_F(Signing, BytesAfterTheCertificateTableAreReported) {
    if (std::system("command -v openssl >/dev/null 2>&1 && command -v osslsigncode >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "openssl or osslsigncode is missing";
    // The engine is signed too, so that the only warnings are those about
    // the bytes after the package's signature.
    const std::string d = "cd '" + dir.string() + "' && ";
    ASSERT_EQ(std::system((d + "openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem"
                               " -days 2 -subj /CN=mkpackage-test >/dev/null 2>&1 && osslsigncode sign -certs cert.pem"
                               " -key key.pem -in '" + stub + "' -out engine.exe >/dev/null 2>&1")
                              .c_str()),
              0);
    RunResult r = Mk({"build", "--stub", stub, "--engine64", File("engine.exe"), "--allow", "all",
                      "--wrong-width-text", "w", "-o", File("pkg.exe")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_EQ(std::system((d + "osslsigncode sign -certs cert.pem -key key.pem -in pkg.exe -out signed.exe"
                               " >/dev/null 2>&1")
                              .c_str()),
              0);
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
// Signing in the build.

// Sets an environment variable for the runs of one test.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value) setenv(name, value, 1);
        else unsetenv(name);
    }
    ~ScopedVariable() {
        if (old_) setenv(name_, old_->c_str(), 1);
        else unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

class SignCommand : public MkpackageTest {
protected:
    void SetUp() override {
        MkpackageTest::SetUp();
        // A command from the tests' own environment must not sign builds
        // that do not ask for it.
        unset_ = std::make_unique<ScopedVariable>("MKPACKAGE_SIGN_COMMAND", nullptr);
    }
    // The stand-in signer, for the system mkpackage runs on, in a mode;
    // with {out} unless inPlace.
    static std::string StandIn(const std::string& mode, bool inPlace = false) {
        return std::string(UnderWine() ? SIGN_STAND_IN_EXE_PATH : SIGN_STAND_IN_PATH) + " " + mode + " {in}" +
               (inPlace ? "" : " {out}");
    }
    // Signs file in place with the stand-in itself, as a vendor would
    // have before the build.
    int SignBeforehand(const std::string& name) {
        return mk::Run(UnderWine() ? std::string(kWine64) : std::string(SIGN_STAND_IN_PATH),
                       UnderWine() ? std::vector<std::string>{SIGN_STAND_IN_EXE_PATH, "sign", WindowsArgument(File(name))}
                                   : std::vector<std::string>{"sign", File(name)},
                       dir)
            .exitCode;
    }
    // Both launchers as engines: PE images of each width.
    std::vector<std::string> Engines() {
        return {"--engine32", Put("setup32.exe", ReadBytes(STUB32_PATH)), "--engine64",
                Put("setup64.exe", ReadBytes(kStub64))};
    }
    RunResult Build(const std::vector<std::string>& extra, const std::string& out = "pkg.exe") {
        std::vector<std::string> args = {"build", "--allow", "all", "-o", File(out)};
        const std::vector<std::string> engines = Engines();
        args.insert(args.end(), engines.begin(), engines.end());
        args.insert(args.end(), extra.begin(), extra.end());
        return Mk(args);
    }
    // The names of the files mkpackage left in folder besides those given.
    static std::vector<std::string> Leftovers(const fs::path& folder) {
        std::vector<std::string> left;
        for (const auto& e : fs::directory_iterator(folder)) {
            const std::string name = e.path().filename().string();
            if (name.rfind("mkpackage-", 0) == 0) left.push_back(name);
        }
        return left;
    }
    static bool HasCertificateTable(const Bytes& image) {
        const uint32_t pe = image[0x3C] | image[0x3D] << 8;
        const bool plus = image[pe + 24] == 0x0B && image[pe + 25] == 0x02;
        const size_t entry = pe + 24 + (plus ? 112 : 96) + 32;
        return (image[entry] | image[entry + 1] << 8 | image[entry + 2] << 16 | image[entry + 3] << 24) != 0;
    }
    std::unique_ptr<ScopedVariable> unset_;
};

// Both engines and the package come out signed, the engines given are as
// they were, the launcher's checks pass, and nothing is left behind:
// whether the command writes a copy ({out}) or signs in place.
TEST_F(SignCommand, SignsTheEnginesAndThePackage) {
    for (const bool inPlace : {false, true}) {
        SCOPED_TRACE(inPlace ? "in place" : "into a copy");
        const RunResult r = Build({"--sign-command", StandIn("sign", inPlace)});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(Contains(r.out, "engine32 ")) << r.out;
        EXPECT_TRUE(Contains(r.out, ", signed by the sign command")) << r.out;
        EXPECT_TRUE(Contains(r.out, "  signed by the sign command: ")) << r.out;
        EXPECT_EQ(ReadBytes(File("setup32.exe")), ReadBytes(STUB32_PATH)) << "the engine given was changed";
        EXPECT_EQ(ReadBytes(File("setup64.exe")), ReadBytes(kStub64)) << "the engine given was changed";
        EXPECT_TRUE(HasCertificateTable(ReadBytes(File("pkg.exe"))));
        EXPECT_TRUE(Leftovers(dir).empty()) << ::testing::PrintToString(Leftovers(dir));

        RunResult v = Mk({"verify", File("pkg.exe")});
        EXPECT_EQ(v.exitCode, 0) << v.out << v.err;
        EXPECT_FALSE(Contains(v.err, "warning")) << v.err;
        for (const char* width : {"32", "64"}) {
            v = Mk({"extract", File("pkg.exe"), std::string("--engine") + width, "-o", File("x.exe")});
            ASSERT_EQ(v.exitCode, 0) << v.err;
            EXPECT_TRUE(HasCertificateTable(ReadBytes(File("x.exe")))) << "engine" << width << " is not signed";
        }
        v = Mk({"inspect", File("pkg.exe")});
        EXPECT_TRUE(Contains(v.out, "engine32 signature certificate table of 64 bytes")) << v.out;
        EXPECT_TRUE(Contains(v.out, "engine64 signature certificate table of 64 bytes")) << v.out;
        v = Mk({"inspect", "--json", File("pkg.exe")});
        EXPECT_TRUE(Contains(v.out, "\"packedBytesAfterEnd\": 0, \"certificateTable\": {\"offset\": ")) << v.out;
        fs::remove(File("pkg.exe"));
    }
}

// An OUT that is written into, not replaced (standard output here), gets
// the signed package whole: it is signed in the temporary folder first.
TEST_F(SignCommand, StandardOutputGetsTheSignedPackage) {
    std::vector<std::string> args = {"build", "--allow", "all", "--sign-command", StandIn("sign"), "-o", "-"};
    const std::vector<std::string> engines = Engines();
    args.insert(args.end(), engines.begin(), engines.end());
    RunOptions toFile;
    toFile.stdoutPath = File("stdout.exe");
    const RunResult r = Mk(args, toFile);
    ASSERT_EQ(r.exitCode, 0) << Describe(args, r);
    EXPECT_TRUE(Contains(r.err, "  signed by the sign command: ")) << r.err;
    EXPECT_TRUE(HasCertificateTable(ReadBytes(File("stdout.exe"))));
    const RunResult v = Mk({"verify", File("stdout.exe")});
    EXPECT_EQ(v.exitCode, 0) << v.out << v.err;
    EXPECT_FALSE(Contains(v.err, "warning")) << v.err;
}

// Every way a sign command can fail fails the build: the command and what
// it said are shown, OUT stays as it was, and no file is left.  Each fault
// is met once on an engine and once on the package (whose engines are
// signed already, so that only the package is signed in that build).
TEST_F(SignCommand, AFailingSignCommandFailsTheBuildAndLeavesOutAsItWas) {
    struct Row {
        const char* mode;
        bool inPlace;
        const char* says;
    };
    const Row rows[] = {
        {"fail", false, "(exit code 3): "},
        {"nothing", false, "wrote no signed copy"},
        {"unsigned", false, "carries no certificate table: it is not signed"},
        {"unsigned", true, "carries no certificate table: it is not signed"},
        {"tamper", false, "differs from the file it was given at byte "},
        {"tamper", true, "differs from the file it was given at byte "},
        {"append", false, "1 byte after its certificate table"},
        {"delete", true, "instead of signing it in place"},
    };
    // Engines signed beforehand, by the stand-in itself.
    for (const char* name : {"signed32.exe", "signed64.exe"}) {
        Put(name, ReadBytes(name == std::string("signed32.exe") ? STUB32_PATH : kStub64));
        ASSERT_EQ(SignBeforehand(name), 0);
    }
    for (const Row& row : rows)
        for (const bool onPackage : {false, true}) {
            SCOPED_TRACE(std::string(row.mode) + (row.inPlace ? " in place" : "") +
                         (onPackage ? ", on the package" : ", on an engine"));
            WriteText(dir / "pkg.exe", "an earlier OUT");
            std::vector<std::string> args = {"build", "--allow", "all", "--sign-command", StandIn(row.mode, row.inPlace),
                                             "-o", File("pkg.exe")};
            const std::vector<std::string> engines =
                onPackage ? std::vector<std::string>{"--engine32", File("signed32.exe"), "--engine64", File("signed64.exe")}
                          : Engines();
            args.insert(args.end(), engines.begin(), engines.end());
            const RunResult r = Mk(args);
            EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
            EXPECT_TRUE(Contains(r.err, row.says)) << r.err;
            EXPECT_TRUE(Contains(r.err, onPackage ? "the package" : "--engine32 ")) << r.err;
            // What the command said comes with every failure: most often
            // the reason.
            if (row.mode == std::string("fail")) {
                EXPECT_TRUE(Contains(r.err, "  | sign-stand-in: the key is locked")) << r.err;
            } else if (row.mode != std::string("nothing") && row.mode != std::string("delete")) {
                EXPECT_TRUE(Contains(r.err, "  | sign-stand-in: " + std::string(row.mode) + " ")) << r.err;
            }
            EXPECT_EQ(ReadText(dir / "pkg.exe"), "an earlier OUT");
            EXPECT_TRUE(Leftovers(dir).empty()) << ::testing::PrintToString(Leftovers(dir));
        }
}

// A signed copy that is a link to a file elsewhere is refused: renamed
// into place it would make OUT a link, and OUT's mode would land on the
// file it points to.  (Linux: Windows links need a privilege.)
TEST_F(SignCommand, ALinkAsTheSignedCopyIsRefused) {
    if (UnderWine()) GTEST_SKIP() << "symbolic links need a privilege on Windows";
    const std::string elsewhere = File("elsewhere.exe");
    WriteText(dir / "pkg.exe", "an earlier OUT");
    const RunResult r = Build({"--sign-command", std::string(SIGN_STAND_IN_PATH) + " sign {in} '" + elsewhere +
                                                     "' && ln -s '" + elsewhere + "' {out}"});
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_TRUE(Contains(r.err, "left something other than a file at ")) << r.err;
    EXPECT_EQ(ReadText(dir / "pkg.exe"), "an earlier OUT");
    EXPECT_TRUE(Leftovers(dir).empty()) << ::testing::PrintToString(Leftovers(dir));
}

// An engine that carries a signature already is packed as it is.
TEST_F(SignCommand, AnEngineSignedAlreadyIsKeptAsItIs) {
    const Bytes signed64 = [&] {
        Put("pre.exe", ReadBytes(kStub64));
        EXPECT_EQ(SignBeforehand("pre.exe"), 0);
        return ReadBytes(File("pre.exe"));
    }();
    ASSERT_TRUE(HasCertificateTable(signed64));
    RunResult r = Mk({"build", "--allow", "all", "--engine32", Put("setup32.exe", ReadBytes(STUB32_PATH)),
                      "--engine64", File("pre.exe"), "--sign-command", StandIn("sign"), "-o", File("pkg.exe")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, ", signed already")) << r.out;
    r = Mk({"extract", File("pkg.exe"), "--engine64", "-o", File("x.exe")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ReadBytes(File("x.exe")), signed64) << "signed a second time";
}

// The command may come from MKPACKAGE_SIGN_COMMAND (a CI secret need not
// stand on a command line); the option wins.  An empty one, or one that
// names no {in}, is a usage error: a secret that did not arrive must not
// give an unsigned package unnoticed.
TEST_F(SignCommand, FromTheEnvironmentTheOptionWinsEmptyIsRefused) {
    {
        ScopedVariable variable("MKPACKAGE_SIGN_COMMAND", StandIn("sign").c_str());
        RunResult r = Build({});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(Contains(r.out, "signed by the sign command")) << r.out;
        r = Build({"--sign-command", StandIn("fail")});
        EXPECT_EQ(r.exitCode, 1) << "the option should have won: " << r.err;
    }
    struct Row {
        const char* variable;  // nullptr: unset
        std::optional<std::string> option;
        const char* says;
    };
    const Row rows[] = {
        {"", std::nullopt, "MKPACKAGE_SIGN_COMMAND is empty"},
        {"   ", std::nullopt, "MKPACKAGE_SIGN_COMMAND is empty"},
        {nullptr, std::string(), "--sign-command is empty"},
        {nullptr, std::string("signtool sign /a MySetup.exe"), "--sign-command has no {in}"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.says);
        ScopedVariable variable("MKPACKAGE_SIGN_COMMAND", row.variable);
        WriteText(dir / "pkg.exe", "an earlier OUT");
        const RunResult r = Build(row.option ? std::vector<std::string>{"--sign-command", *row.option}
                                             : std::vector<std::string>{});
        EXPECT_EQ(r.exitCode, 2) << r.err;
        EXPECT_TRUE(Contains(r.err, row.says)) << r.err;
        EXPECT_EQ(ReadText(dir / "pkg.exe"), "an earlier OUT");
    }
}

// The placeholders are quoted for the shell by mkpackage: an OUT in a
// folder whose name the shell would otherwise take apart still works.
// (Windows names hold no quotes; cmd.exe meets & ^ ! ( ) and spaces.  A
// "%" stays out: Wine's cmd.exe expands %...% again inside a variable's
// value, which Windows' cmd.exe does not.)
TEST_F(SignCommand, PathsTheShellWouldTakeApart) {
    const std::string name = UnderWine() ? "a b&x^y!z (1)" : "a b'c\"d$HOME`x`;&|*";
    fs::create_directories(dir / name);
    const RunResult r = Build({"--sign-command", StandIn("sign")}, name + "/My Setup.exe");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(HasCertificateTable(ReadBytes(dir / name / "My Setup.exe")));
    EXPECT_TRUE(Leftovers(dir / name).empty()) << ::testing::PrintToString(Leftovers(dir / name));
}

// A package signed afterwards with engines that are not: verify and
// inspect warn, naming each engine.
TEST_F(SignCommand, VerifyWarnsAboutUnsignedEnginesInASignedPackage) {
    ASSERT_EQ(Build({}).exitCode, 0);
    ASSERT_EQ(SignBeforehand("pkg.exe"), 0);
    RunResult r = Mk({"verify", File("pkg.exe")});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    for (const char* engine : {"engine32", "engine64"})
        EXPECT_TRUE(Contains(r.err, std::string("mkpackage: warning: ") + engine +
                                        " is not signed: Windows' elevation prompt for it will show 'Unknown "
                                        "publisher'"))
            << r.err;
    r = Mk({"inspect", File("pkg.exe")});
    EXPECT_TRUE(Contains(r.out, "engine64 signature none: Windows' elevation prompt for it shows 'Unknown publisher'"))
        << r.out;
    // Unsigned throughout: nothing to warn about.
    ASSERT_EQ(Build({}, "plain.exe").exitCode, 0);
    r = Mk({"verify", File("plain.exe")});
    EXPECT_FALSE(Contains(r.err, "is not signed")) << r.err;
}

// With osslsigncode and a throwaway certificate: the package and both
// engines carry signatures that osslsigncode itself verifies.
TEST_F(SignCommand, OsslsigncodeSignsInsideAndOut) {
    if (UnderWine()) GTEST_SKIP() << "osslsigncode is a Linux program; cmd.exe under Wine cannot start it";
    if (std::system("command -v openssl >/dev/null 2>&1 && command -v osslsigncode >/dev/null 2>&1") != 0)
        FAIL() << "openssl or osslsigncode is missing (scripts/setup.sh installs them)";
    const std::string d = dir.string();
    ASSERT_EQ(std::system(("cd '" + d + "' && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem"
                           " -days 2 -subj /CN=mkpackage-test >/dev/null 2>&1").c_str()),
              0);
    const RunResult r = Build({"--sign-command", "osslsigncode sign -certs " + File("cert.pem") + " -key " +
                                                     File("key.pem") + " -in {in} -out {out}"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_EQ(Mk({"extract", File("pkg.exe"), "--engine32", "-o", File("x32.exe")}).exitCode, 0);
    ASSERT_EQ(Mk({"extract", File("pkg.exe"), "--engine64", "-o", File("x64.exe")}).exitCode, 0);
    for (const char* file : {"pkg.exe", "x32.exe", "x64.exe"})
        EXPECT_EQ(std::system(("cd '" + d + "' && osslsigncode verify -CAfile cert.pem " + file + " >/dev/null 2>&1")
                                  .c_str()),
                  0)
            << file;
    const RunResult v = Mk({"verify", File("pkg.exe")});
    EXPECT_EQ(v.exitCode, 0) << v.err;
    EXPECT_FALSE(Contains(v.err, "warning")) << v.err;
}

// A signer that leaves a process running (an agent that keeps the key
// open) which holds on to the command's output: the build goes on once
// the command itself has ended.
TEST_F(SignCommand, AProcessLeftRunningDoesNotHoldTheBuild) {
    const std::string standIn = UnderWine() ? SIGN_STAND_IN_EXE_PATH : SIGN_STAND_IN_PATH;
    const std::string background = UnderWine() ? "start /b " + standIn + " linger x & "
                                                : "(" + standIn + " linger x &); ";
    const auto start = std::chrono::steady_clock::now();
    const RunResult r = Build({"--sign-command", background + StandIn("sign")});
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
    std::system("pkill -f '^[^ ]*sign-stand-in[^ ]* linge[r]'");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_LT(seconds.count(), 20) << "the build waited for what the sign command left running";
    EXPECT_TRUE(HasCertificateTable(ReadBytes(File("pkg.exe"))));
}

// Interrupted while the command runs (a timestamp server that does not
// answer): the command ends too, no file is left, OUT stays as it was.
// (Under Wine, SIGINT reaches mkpackage.exe as Ctrl+C.)
TEST_F(SignCommand, AnInterruptionEndsTheCommandAndLeavesNothing) {
    WriteText(dir / "pkg.exe", "an earlier OUT");
    std::vector<std::string> args = {"build", "--allow", "all", "--sign-command", StandIn("wait"), "-o", File("pkg.exe")};
    const std::vector<std::string> engines = Engines();
    args.insert(args.end(), engines.begin(), engines.end());
    // Both engines' stand-ins waiting, side by side: the stand-in's own
    // command line, not the shell's (sh -c, cmd.exe) that started it.
    // (The bracket keeps the pattern from matching the shell that runs
    // pgrep.)
    const auto waiting = [](pid_t) {
        return std::system("[ $(pgrep -c -f '^[^ ]*sign-stand-in[^ ]* wai[t]') -ge 2 ]") == 0;
    };
    RunResult early;
    const pid_t pid = StartUntil(args, waiting, early, {}, 100);
    ASSERT_GT(pid, 0) << "the engines' sign commands did not run side by side: " << Describe(args, early);
    kill(pid, SIGINT);
    const RunResult r = FinishMk(pid);
    EXPECT_NE(r.exitCode, 0);
    EXPECT_FALSE(Contains(r.err, "wait")) << "the build went on to report the command: " << r.err;
    bool ended = false;
    for (int i = 0; i < 50 && !(ended = std::system("pgrep -f '^[^ ]*sign-stand-in[^ ]* wai[t]' >/dev/null") != 0); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(ended) << "the sign command is still running";
    EXPECT_TRUE(Leftovers(dir).empty()) << ::testing::PrintToString(Leftovers(dir));
    EXPECT_EQ(ReadText(dir / "pkg.exe"), "an earlier OUT");
}

}  // namespace
