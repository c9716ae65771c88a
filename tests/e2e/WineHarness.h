// Running the real launchers under Wine.  One private Wine prefix in the
// build tree serves every test; each test gets a fresh folder.  The prefix has
// both halves of Wine, so stub32.exe, the product, runs under WOW64 as it does
// on 64-bit Windows.  A launcher is started through exit-code-runner.exe,
// which reports its full 32-bit exit code, as an administrator (Wine's
// default user) or as a standard user (a limited token restricted so that
// BUILTIN\Administrators counts for deny only: a UAC-filtered administrator
// on Windows).  Wine's relay trace shows what message box the launcher
// raised and whether it asked CheckTokenMembership; its exec trace shows
// every ShellExecuteExW call with what the launcher asked the shell for.
#pragma once
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "PackageWriter.h"

namespace e2e {

namespace fs = std::filesystem;

// One build of the launcher with the test programs of the same width.
struct LauncherBuild {
    std::string name;     // "stub32", "stub64": part of the test names
    fs::path stub;        // the launcher itself
    fs::path planted;     // planted.dll of its width (a process loads only those)
    fs::path vulnerable;  // the same launcher importing mpr.dll statically
};
const LauncherBuild& Stub32();
const LauncherBuild& Stub64();

// The test engines: report-engine.exe built for i386 and for x86-64.  Each
// reports "bits" (32 or 64) and "wow64", so a test sees which entry ran.
fs::path Engine32Path();
fs::path Engine64Path();

struct WineMessage {
    std::string text;     // as the relay trace shows it: cut after ~300 characters
    std::string caption;
    std::string style;    // hexadecimal, as traced: "00000010"
};

// One ShellExecuteExW call, as Wine's exec trace shows it:
//   SHELL_execute mask=0x00000040 hwnd=00000000 verb=L"open" file=L"..."
//   parm=L"..." dir=(null) show=0x00000005
// Strings unescaped; "(null)" stays as it is.
struct ShellCall {
    std::string mask, verb, file, parameters, directory, show;
};

struct WineRun {
    bool exited = false;         // the runner reported an exit code
    uint32_t exitCode = 0;
    std::vector<WineMessage> messages;
    std::vector<ShellCall> shellCalls;
    int administratorTests = 0;  // the launcher's own CheckTokenMembership calls
    std::string output, errors;  // the runner's stdout, Wine's stderr
    double seconds = 0;
};

// text in single quotes for sh, quotes inside it escaped.
std::string ShellQuote(const std::string& text);

// Z:\... for a Linux path (Wine maps / to Z:).
std::string WinePath(const fs::path& path);

// The shared prefix of the tests that run without a display, where
// MessageBoxW returns at once.
fs::path PrefixPath();
// A second prefix for runs on a virtual display, where a message box waits
// for the user.  A Wine session (wineserver and its desktop) is bound to the
// display it started on, so this one is kept apart and each test on a
// display ends its session (EndWineSession) before and after.
fs::path DisplayPrefixPath();
void EndWineSession(const fs::path& prefix);

// Prepares a prefix (about 20 s the first time; later only a check) and
// fails the test, saying why, when Wine cannot run 32-bit programs.
void EnsurePrefix(const fs::path& prefix = PrefixPath());
// The user's temporary folder in the prefix (GetTempPathW).
fs::path PrefixTempFolder();

// What Windows the prefix shows.  version: what Wine reports
// (HKCU\Software\Wine\Version: "winxp64", "win7", "win10"; empty for Wine's
// default, Windows 7).  values: values of the key
// HKLM\Software\Microsoft\Windows NT\CurrentVersion, an empty one deleting it.  On 64-bit Windows that
// key exists twice, and a 32-bit program reads the Wow6432Node copy; real
// Windows keeps both filled alike, so values go into both views unless
// values32 gives the 32-bit view other ones.  One `wine reg import`.
void SetWindows(const std::string& version, const std::map<std::string, std::string>& values,
                const std::map<std::string, std::string>* values32 = nullptr);
// Back to Wine's defaults: Windows 7, build 7601, no DisplayVersion or ReleaseId.
void ResetWindows();

// Who starts the launcher.
enum class User { Administrator, StandardUser };
const char* NameOf(User user);  // "Administrator", "StandardUser": part of test names

struct LaunchOptions {
    fs::path prefix;  // empty: PrefixPath()
    User user = User::Administrator;
    // On a window station of its own that is not visible, as a service's
    // program in session 0.
    bool hiddenWindowStation = false;
    // Linux environment variables for Wine (e.g. WINEDLLOVERRIDES, DISPLAY).
    // Without DISPLAY, Wine's MessageBoxW returns at once; with one, it
    // waits for the user (see StartInBackground).
    std::map<std::string, std::string> environment;
};

// Starts exe with the exact command-line tail given (what follows the
// program name), waits, and collects what happened.
WineRun Launch(const fs::path& exe, const std::string& commandTail, const LaunchOptions& options = {});

// For a run whose message box waits for a user: starts it and returns; the
// result is collected by FinishBackgroundRun.
struct BackgroundRun {
    int pid = -1;
    fs::path out, err;
    double started = 0;
};
BackgroundRun StartInBackground(const fs::path& exe, const std::string& commandTail,
                                const LaunchOptions& options);
// Waits at most timeoutSeconds for the run to end; kills it if need be.
WineRun FinishBackgroundRun(BackgroundRun& run, double timeoutSeconds);

// Runs a 64-bit console program under Wine in the shared prefix with the given
// arguments (Windows paths) and returns what it printed; exitCode gets its
// exit code (the low 8 bits, as Wine passes them on).
std::string RunConsoleProgram(const fs::path& exe, const std::vector<std::string>& arguments, int* exitCode = nullptr);

// A fresh, empty folder for one test.
fs::path TestFolder();
// Writes package under name in a fresh TestFolder().
fs::path Place(const Bytes& package, const std::string& name = "setup.exe");
// The names of the entries of folder.
std::vector<fs::path> FilesIn(const fs::path& folder);
// GetTempPathW in the prefix, as the launcher sees it: C:\users\<user>\Temp\.
std::string WineTempFolder();
// True when copy is where the launcher puts its temporary copy: in a folder
// of its own, named with 16 hexadecimal digits, inside parent (a Windows
// path ending in '\'), under name.
bool IsRunCopyPath(const std::string& copy, const std::string& parent, const std::string& name = "setup.exe");
// The copies named name in run folders (16 hexadecimal digits) directly
// inside folder, a Linux path.
std::vector<fs::path> RunCopiesIn(const fs::path& folder, const std::string& name = "setup.exe");
// The Linux path of a Windows path in the prefix (C:\... or Z:\...).
fs::path LinuxPath(const std::string& windowsPath);

// A test in the shared prefix.  Windows() changes the Windows the prefix
// shows for this test only: the prefix is set back afterwards.
class WineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    void Windows(const std::string& version, const std::map<std::string, std::string>& values = {},
                 const std::map<std::string, std::string>* values32 = nullptr);

private:
    bool windowsChanged_ = false;
};

Bytes ReadFile(const fs::path& path);
void WriteFile(const fs::path& path, const Bytes& bytes);

// A sound package on a real launcher: the 32-bit test engine in the 32-bit
// entry, the 64-bit one in the 64-bit entry, every Windows version allowed,
// both messages.
PackageRecipe RealRecipe(const LauncherBuild& launcher);

// The report a test engine writes next to the package: key -> value.
std::map<std::string, std::string> ReadReport(const fs::path& packagePath);

}  // namespace e2e
