// Running the mkpackage executable from tests, and the files it works on.
#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

// Starts program with args, stdout and stderr going to files in dir.
inline pid_t Start(const std::string& program, const std::vector<std::string>& args, const fs::path& dir) {
    const std::string outPath = (dir / ".run-out").string(), errPath = (dir / ".run-err").string();
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

inline RunResult Finish(pid_t pid, const fs::path& dir) {
    int status = 0;
    waitpid(pid, &status, 0);
    RunResult r;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = ReadText(dir / ".run-out");
    r.err = ReadText(dir / ".run-err");
    fs::remove(dir / ".run-out");
    fs::remove(dir / ".run-err");
    return r;
}

inline RunResult Run(const std::string& program, const std::vector<std::string>& args, const fs::path& dir) {
    return Finish(Start(program, args, dir), dir);
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

    RunResult Mk(const std::vector<std::string>& args) { return mk::Run(MKPACKAGE_PATH, args, dir); }

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
