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
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "PackageWriter.h"
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

// A process that writes bytes into path `times` times over, or until its
// reader goes away when times is 0.  For a FIFO it waits in open() for the
// reader, so StopWriter ends it whether or not anyone came.
inline pid_t StartWriter(const std::string& path, const Bytes& bytes, size_t times = 1) {
    const pid_t pid = fork();
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        alarm(60);  // never outlives a test that died before StopWriter
        const int fd = open(path.c_str(), O_WRONLY);
        if (fd < 0) _exit(126);
        for (size_t round = 0; times == 0 || round < times; ++round)
            for (size_t done = 0; done < bytes.size();) {
                const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) _exit(1);
                done += static_cast<size_t>(n);
            }
        close(fd);
        _exit(0);
    }
    return pid;
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

// A fresh folder per test, with the real 32-bit launcher, the product, as stub.
class MkpackageTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "mkpackage-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        stub = STUB32_PATH;
        ASSERT_TRUE(fs::exists(stub)) << "the launcher stub is not built: " << stub;
        ASSERT_TRUE(fs::exists(MKPACKAGE_PATH)) << "mkpackage is not built: " << MKPACKAGE_PATH;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    RunResult Mk(const std::vector<std::string>& args, const RunOptions& options = {}) {
        return mk::Run(MKPACKAGE_PATH, args, dir, options);
    }

    std::string File(const std::string& name) const { return (dir / name).string(); }

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

}  // namespace mk
