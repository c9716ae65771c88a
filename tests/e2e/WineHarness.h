// Running the real launcher (stub64.exe) under Wine.  One private Wine
// prefix in the build tree serves every test; each test gets a fresh folder.
// The launcher is started through exit-code-runner.exe, which reports its
// full 32-bit exit code, and with Wine's relay trace of MessageBoxW, which
// shows what message box it raised.
#pragma once
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "PackageWriter.h"

namespace e2e {

namespace fs = std::filesystem;

struct WineMessage {
    std::string text;     // as the relay trace shows it: cut after ~300 characters
    std::string caption;
    std::string style;    // hexadecimal, as traced: "00000010"
};

struct WineRun {
    bool exited = false;         // the runner reported an exit code
    uint32_t exitCode = 0;
    std::vector<WineMessage> messages;
    std::string output, errors;  // the runner's stdout, Wine's stderr
    double seconds = 0;
};

// Z:\... for a Linux path (Wine maps / to Z:).
std::string WinePath(const fs::path& path);

// Prepares the shared prefix once per process (about 10 s the first time).
void EnsurePrefix();
fs::path PrefixPath();

// Runs `wine reg ARGS...` in the prefix.
void Reg(const std::vector<std::string>& args);

// Sets the Windows version Wine reports ("winxp64", "win7", "win10", ...).
void SetWindowsVersion(const std::string& version);
// Sets or deletes (value empty) a value under
// HKLM\Software\Microsoft\Windows NT\CurrentVersion.
void SetCurrentVersionValue(const std::string& name, const std::string& value);

// Starts exe with the exact command-line tail given (what follows the
// program name), waits, and collects what happened.  extraEnvironment adds
// Linux environment variables for Wine (e.g. WINEDLLOVERRIDES).
WineRun Launch(const fs::path& exe, const std::string& commandTail,
               const std::map<std::string, std::string>& extraEnvironment = {});

// A fresh, empty folder for one test.
fs::path TestFolder();

Bytes ReadFile(const fs::path& path);
void WriteFile(const fs::path& path, const Bytes& bytes);

// report-engine.exe, and the same program padded by 4096 bytes for the
// 32-bit entry: the launcher never looks inside an engine, and the engine's
// self_size tells which entry ran.
Bytes Engine();
Bytes PaddedEngine();

// A sound package on a real launcher: the test engines in both entries,
// every Windows version allowed, both messages.
PackageRecipe RealRecipe(const fs::path& launcher = STUB64_PATH);

// The report a test engine writes next to the package: key -> value.
std::map<std::string, std::string> ReadReport(const fs::path& packagePath);

}  // namespace e2e
