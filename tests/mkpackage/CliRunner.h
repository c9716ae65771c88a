// Running the mkpackage executable from tests, and the files it works on.
#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "PackageWriter.h"
#include "TestPackages.h"
#include "StubTypes/StubTypes.h"

namespace mk {

namespace fs = std::filesystem;

struct RunResult {
    int exitCode = -1;  // 128 + signal when killed
    std::string out, err;
    uint64_t peakRss = 0;  // bytes: the child's ru_maxrss, which counts the pages it had from fork
};

inline std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline Bytes ReadBytes(const fs::path& path) {
    const std::string text = ReadText(path);
    return Bytes(text.begin(), text.end());
}

inline void WriteBytes(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline void WriteText(const fs::path& path, const std::string& text) {
    WriteBytes(path, Bytes(text.begin(), text.end()));
}

// How a run differs from the plain one, whose stdout and stderr are read
// back from files and whose stdin is the test's own.
struct RunOptions {
    std::string stdoutPath;          // stdout goes here instead (e.g. /dev/full); RunResult::out stays empty
    bool closeStdout = false;        // stdout closed, as by a shell's >&-
    std::string stdinPath;           // stdin read from here (a file, or a FIFO whose writer is started)
    uint64_t addressSpaceLimit = 0;  // RLIMIT_AS in bytes: allocations and mappings beyond it fail; 0 = none
    std::string workingDirectory;    // the child's current folder; empty: the test's own
    std::vector<int> ignoredSignals; // set to be ignored, as nohup or a shell's background job does
};

// Starts program with args, stdout and stderr going to files in dir unless
// options say otherwise.
inline pid_t Start(const std::string& program, const std::vector<std::string>& args, const fs::path& dir,
                   const RunOptions& options = {}) {
    // Everything the child needs is made before fork: between fork and
    // exec only async-signal-safe calls are sound.
    const std::string outPath = options.stdoutPath.empty() ? (dir / ".run-out").string() : options.stdoutPath;
    const std::string errPath = (dir / ".run-err").string();
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        auto moveTo = [](int fd, int target) {
            if (fd < 0) _exit(126);
            if (fd != target) {
                dup2(fd, target);
                close(fd);
            }
        };
        if (!options.stdinPath.empty()) moveTo(open(options.stdinPath.c_str(), O_RDONLY), 0);
        moveTo(open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        if (options.closeStdout) close(1);
        else moveTo(open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) _exit(126);
        for (int sig : options.ignoredSignals) signal(sig, SIG_IGN);
        if (options.addressSpaceLimit) {
            const rlimit limit{options.addressSpaceLimit, options.addressSpaceLimit};
            setrlimit(RLIMIT_AS, &limit);
        }
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

inline RunResult Finish(pid_t pid, const fs::path& dir) {
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    RunResult r;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.peakRss = static_cast<uint64_t>(usage.ru_maxrss) * 1024;
    r.out = ReadText(dir / ".run-out");
    r.err = ReadText(dir / ".run-err");
    fs::remove(dir / ".run-out");
    fs::remove(dir / ".run-err");
    return r;
}

inline RunResult Run(const std::string& program, const std::vector<std::string>& args, const fs::path& dir,
                     const RunOptions& options = {}) {
    return Finish(Start(program, args, dir, options), dir);
}

// A process that writes first into path once, then bytes `times` times
// over, or until its reader goes away when times is 0.  For a FIFO it waits
// in open() for the reader, so StopWriter ends it whether or not anyone
// came.
inline pid_t StartWriter(const std::string& path, const Bytes& bytes, size_t times = 1, const Bytes& first = {}) {
    const pid_t pid = fork();
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        alarm(60);  // never outlives a test that died before StopWriter
        const int fd = open(path.c_str(), O_WRONLY);
        if (fd < 0) _exit(126);
        auto writeAll = [fd](const Bytes& b) {
            for (size_t done = 0; done < b.size();) {
                const ssize_t n = write(fd, b.data() + done, b.size() - done);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) _exit(1);
                done += static_cast<size_t>(n);
            }
        };
        writeAll(first);
        for (size_t round = 0; times == 0 || round < times; ++round) writeAll(bytes);
        close(fd);
        _exit(0);
    }
    return pid;
}

inline bool HasEnded(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

// Polls every interval, for up to 30 s, until ready() says yes; false when
// the child pid has ended first (it is not reaped, Finish still can).
inline bool WaitUntil(pid_t pid, const std::function<bool()>& ready, unsigned intervalMs = 1) {
    for (unsigned waited = 0; waited < 30000; waited += intervalMs) {
        if (ready()) return true;
        if (HasEnded(pid)) return false;
        usleep(intervalMs * 1000);
    }
    return ready();
}

// Whether process pid has path mapped (its name in /proc/PID/maps).
inline bool HasMapped(pid_t pid, const std::string& path) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    const std::string name = fs::path(path).filename().string();
    for (std::string line; std::getline(maps, line);)
        if (line.size() >= name.size() && line.compare(line.size() - name.size(), name.size(), name) == 0) return true;
    return false;
}

inline void StopWriter(pid_t pid) {
    kill(pid, SIGKILL);  // a writer that has finished is a zombie: no harm
    waitpid(pid, nullptr, 0);
}

inline std::string Describe(const std::vector<std::string>& args, const RunResult& r) {
    std::string text = "mkpackage";
    for (const std::string& a : args) text += " " + (a.size() > 60 ? a.substr(0, 60) + "..." : a);
    return text + "\n-> exit " + std::to_string(r.exitCode) + "\nstdout:\n" + r.out + "stderr:\n" + r.err;
}

// Which mkpackage the tests run: the Linux one, or, when the environment
// names a Wine prefix in MKPACKAGE_TEST_WINEPREFIX, mkpackage.exe (the
// Windows build, MKPACKAGE_EXE_PATH) under Wine in that prefix, handed every
// path as a Windows path.  Its output then names files as Windows paths;
// they are turned back into the Linux paths the tests expect.  (One variable
// on purpose: ctest's discovered tests take no list-valued ENVIRONMENT.)
struct ToolUnderTest {
    std::string wineExe;  // empty: the Linux build
    static const ToolUnderTest& Get() {
        static const ToolUnderTest tool = [] {
            ToolUnderTest t;
            const char* prefix = std::getenv("MKPACKAGE_TEST_WINEPREFIX");
            if (prefix && *prefix) {
                t.wineExe = MKPACKAGE_EXE_PATH;
                setenv("WINEPREFIX", prefix, 1);
                // Console output only: no display, no debug chatter.
                unsetenv("DISPLAY");
                setenv("WINEDEBUG", "-all", 1);
            }
            return t;
        }();
        return tool;
    }
    bool UnderWine() const { return !wineExe.empty(); }
};

// "/tmp/x/a.exe" -> "Z:\tmp\x\a.exe", also after "--option=".
inline std::string WindowsArgument(const std::string& arg) {
    auto convert = [](const std::string& path) {
        std::string out = "Z:";
        for (char c : path) out += c == '/' ? '\\' : c;
        return out;
    };
    if (!arg.empty() && arg[0] == '/') return convert(arg);
    const size_t eq = arg.find("=/");
    if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) return arg.substr(0, eq + 1) + convert(arg.substr(eq + 1));
    return arg;
}

// Every "Z:\..." path in text (or "Z:\\..." in JSON) back to "/...".
inline std::string LinuxPaths(const std::string& text) {
    static const std::string kEnds = " \t\r\n\"',;:()[]{}<>";
    std::string out;
    for (size_t i = 0; i < text.size();) {
        if (text.compare(i, 3, "Z:\\") != 0) {
            out += text[i++];
            continue;
        }
        i += 2;
        while (i < text.size() && kEnds.find(text[i]) == std::string::npos) {
            if (text[i] == '\\') {
                out += '/';
                i += text.compare(i, 2, "\\\\") == 0 ? 2 : 1;
            } else {
                out += text[i++];
            }
        }
    }
    return out;
}

// Wine's loader for 64-bit programs.  (`wine` is the 32-bit one, which runs
// under QEMU here and would only hand the program on to this one.)
inline const char* const kWine64 = "/usr/lib/wine/wine64";

// Windows programs end their lines with CR LF in pipes and files.
inline std::string UnixLineEnds(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
    return out;
}

// A fresh folder per test, with the real 32-bit launcher, the product, as stub.
class MkpackageTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "mkpackage-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        stub = STUB32_PATH;
        ASSERT_TRUE(fs::exists(stub)) << "the launcher stub is not built: " << stub;
        const ToolUnderTest& tool = ToolUnderTest::Get();
        const std::string program = tool.UnderWine() ? tool.wineExe : MKPACKAGE_PATH;
        ASSERT_TRUE(fs::exists(program)) << "mkpackage is not built: " << program;
    }

    static bool UnderWine() { return ToolUnderTest::Get().UnderWine(); }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    RunResult Mk(const std::vector<std::string>& args, const RunOptions& options = {}) {
        RunResult r = FinishMk(Start(Program(), Arguments(args), dir, options));
        if (WineNeverStarted(r) && !fs::is_fifo(options.stdinPath))
            r = FinishMk(Start(Program(), Arguments(args), dir, options));
        return r;
    }

    // Under Wine a start now and then fails on a busy machine (seen with
    // ctest -j2, once in a few hundred runs): wine64 ends within
    // milliseconds with exit code 1 and writes nothing.  mkpackage itself
    // never fails without saying why, so such a run is Wine's, and is
    // started once more; a second silent failure is reported as it is.
    static bool WineNeverStarted(const RunResult& r) {
        const bool silent = UnderWine() && r.exitCode == 1 && r.out.empty() && r.err.empty();
        if (silent) std::cerr << "note: wine64 ended with exit code 1 and no word; starting it once more\n";
        return silent;
    }

    // Starts mkpackage and waits until ready() says yes; its pid then, or
    // -1 with how the run ended in `ended` when it ended first (or was
    // ended after 30 s of waiting).
    pid_t StartUntil(const std::vector<std::string>& args, const std::function<bool(pid_t)>& ready, RunResult& ended,
                     const RunOptions& options = {}, unsigned intervalMs = 1) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            const pid_t pid = Start(Program(), Arguments(args), dir, options);
            if (WaitUntil(pid, [&] { return ready(pid); }, intervalMs)) return pid;
            if (!HasEnded(pid)) kill(pid, SIGKILL);
            ended = FinishMk(pid);
            if (!WineNeverStarted(ended)) break;
        }
        return -1;
    }

    // Waits for a run started with Program() and Arguments(); its output as
    // Mk gives it, Windows paths and line ends turned back.
    RunResult FinishMk(pid_t pid) {
        RunResult r = Finish(pid, dir);
        if (UnderWine()) {
            r.out = LinuxPaths(UnixLineEnds(r.out));
            r.err = LinuxPaths(UnixLineEnds(r.err));
        }
        return r;
    }

    // The program and arguments that run mkpackage with args: the Linux
    // build, or wine with mkpackage.exe and Windows paths.
    static std::string Program() { return UnderWine() ? kWine64 : MKPACKAGE_PATH; }
    static std::vector<std::string> WineArguments(const std::vector<std::string>& args) {
        std::vector<std::string> all = {ToolUnderTest::Get().wineExe};
        for (const std::string& a : args) all.push_back(WindowsArgument(a));
        return all;
    }
    static std::vector<std::string> Arguments(const std::vector<std::string>& args) {
        return UnderWine() ? WineArguments(args) : args;
    }

    std::string File(const std::string& name) const { return (dir / name).string(); }

    // A sound package made by the tool from a 64-bit engine of engineSize
    // engine-like bytes, kept as e.bin, with every Windows allowed and extra
    // options added; returns its path.
    std::string MakePackage(const std::string& name, size_t engineSize = 20000,
                            const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {"build", "--engine64", Put("e.bin", EngineBytes(engineSize, 64)), "--allow",
                                         "all", "--wrong-width-text", "w", "-o", File(name)};
        args.insert(args.end(), extra.begin(), extra.end());
        const RunResult r = Mk(args);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return File(name);
    }

    std::string Put(const std::string& name, const Bytes& bytes) {
        WriteBytes(dir / name, bytes);
        return File(name);
    }

    // Files in dir other than those named.
    std::vector<std::string> Listing() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path dir;
    std::string stub;
};

inline PackageLocator LocatorOf(const Bytes& file) {
    uint8_t raw[kLocatorSize];
    std::memcpy(raw, file.data() + kLocatorOffset, kLocatorSize);
    return ParseLocator(raw);
}

inline PackageHeader HeaderOf(const Bytes& file) {
    uint8_t raw[kHeaderSize];
    std::memcpy(raw, file.data() + LocatorOf(file).packageOffset, kHeaderSize);
    return ParseHeader(raw);
}

inline std::u16string TextAt(const Bytes& file, const MessageRef& ref) {
    std::u16string text;
    for (uint32_t i = 0; i < ref.length; ++i)
        text += static_cast<char16_t>(file[ref.offset + 2 * i] | file[ref.offset + 2 * i + 1] << 8);
    return text;
}

inline bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Whether a file name is one of mkpackage's temporary files
// (mkpackage-XXXXXX.tmp), the file an output is made in.
inline bool IsTemporaryName(const std::string& name) {
    return name.rfind("mkpackage-", 0) == 0 && name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0;
}

}  // namespace mk
