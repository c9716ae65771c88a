#include "WineHarness.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "TestPackages.h"

namespace e2e {

namespace {


std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

int Shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Wine's loader for 64-bit programs.  `wine` is the 32-bit loader, which
// here runs under QEMU only to hand a 64-bit program on to this one.
const char* const kWine64 = "/usr/lib/wine/wine64";

std::string WineEnvironment(const fs::path& prefix = PrefixPath()) {
    return "WINEPREFIX=" + ShellQuote(prefix.string()) + " WINEDEBUG=-all WINEARCH=win64 ";
}

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Relay lines look like
//   Call user32.MessageBoxW(00000000,1400..., L"text",00c8... L"caption",00000010) ret=...
// with backslashes and quotes escaped.
std::string TakeQuoted(const std::string& line, size_t& at) {
    std::string out;
    at = line.find("L\"", at);
    if (at == std::string::npos) return out;
    at += 2;
    while (at < line.size() && line[at] != '"') {
        if (line[at] == '\\' && at + 1 < line.size()) {
            ++at;
            out += line[at] == 'n' ? '\n' : line[at];
        } else {
            out += line[at];
        }
        ++at;
    }
    ++at;
    return out;
}

// The value after "key=" on an exec trace line: an L"..." string or a bare word.
std::string TraceValue(const std::string& line, const std::string& key) {
    size_t at = line.find(" " + key + "=");
    if (at == std::string::npos) return {};
    at += key.size() + 2;
    if (line.compare(at, 2, "L\"") == 0) return TakeQuoted(line, at);
    const size_t end = line.find(' ', at);
    return line.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// Collects from Wine's stderr what the launcher did.  Every process Wine
// starts meanwhile writes there too; the launcher's administrator test is
// told from the engine's by its token: the launcher asks for its own (no
// token, "00000000"), the test engine passes one explicitly.
void ParseTrace(const std::string& errors, WineRun& run) {
    std::istringstream in(errors);
    std::string line;
    while (std::getline(in, line)) {
        if (line.find("Call user32.MessageBoxW(") != std::string::npos) {
            WineMessage m;
            size_t at = 0;
            m.text = TakeQuoted(line, at);
            m.caption = TakeQuoted(line, at);
            const size_t close = line.find(')', at);
            const size_t comma = line.rfind(',', close);
            if (comma != std::string::npos && close != std::string::npos)
                m.style = line.substr(comma + 1, close - comma - 1);
            run.messages.push_back(m);
        } else if (line.find("trace:exec:SHELL_execute mask=") != std::string::npos) {
            run.shellCalls.push_back({TraceValue(line, "mask"), TraceValue(line, "verb"), TraceValue(line, "file"),
                                      TraceValue(line, "parm"), TraceValue(line, "dir"), TraceValue(line, "show")});
        } else if (line.find("Call advapi32.CheckTokenMembership(00000000,") != std::string::npos) {
            ++run.administratorTests;
        }
    }
}

std::string LaunchCommand(const fs::path& exe, const std::string& commandTail, const LaunchOptions& options,
                          const fs::path& out, const fs::path& err) {
    const fs::path folder = exe.parent_path();
    const fs::path prefix = options.prefix.empty() ? PrefixPath() : options.prefix;
    std::string command = "cd " + ShellQuote(folder.string()) + " && WINEPREFIX=" + ShellQuote(prefix.string()) +
                          " WINEDEBUG=+relay,trace+exec E2E_COMMAND_LINE=" +
                          ShellQuote("\"" + WinePath(exe) + "\"" + (commandTail.empty() ? "" : " " + commandTail));
    if (options.user == User::StandardUser) command += " E2E_STANDARD_USER=1";
    if (options.hiddenWindowStation) command += " E2E_HIDDEN_WINDOW_STATION=1";
    bool display = false;
    for (const auto& [name, value] : options.environment) {
        command += " " + name + "=" + ShellQuote(value);
        display |= name == "DISPLAY";
    }
    // No display: MessageBoxW returns at once instead of waiting for a user.
    if (!display) command = "unset DISPLAY; " + command;
    return command + " timeout 120 " + kWine64 + " " + ShellQuote(RUNNER64_PATH) + " >" + ShellQuote(out.string()) + " 2>" +
           ShellQuote(err.string());
}

WineRun Collect(const fs::path& out, const fs::path& err, double seconds) {
    WineRun run;
    run.seconds = seconds;
    run.output = Slurp(out);
    run.errors = Slurp(err);
    ParseTrace(run.errors, run);
    const size_t at = run.output.find("exitcode=");
    if (at != std::string::npos) {
        run.exited = true;
        run.exitCode = static_cast<uint32_t>(std::stoul(run.output.substr(at + 9)));
    }
    fs::remove(out);
    fs::remove(err);
    return run;
}

std::string RegFileSection(const std::string& key, const std::map<std::string, std::string>& values) {
    std::string section = "[" + key + "]\r\n";
    for (const auto& [name, value] : values)
        section += "\"" + name + "\"=" + (value.empty() ? std::string("-") : "\"" + value + "\"") + "\r\n";
    return section + "\r\n";
}

WineRun Run(const fs::path& exe, const std::string& commandTail, const LaunchOptions& options) {
    const fs::path folder = exe.parent_path();
    const fs::path out = folder / "runner.out", err = folder / "runner.err";
    const double start = Now();
    Shell(LaunchCommand(exe, commandTail, options, out, err));
    return Collect(out, err, Now() - start);
}

std::string PreparePrefix(const fs::path& prefix) {
    std::string problem;
    for (const fs::path& built : {Stub32().stub, Stub64().stub, Engine32Path(), Engine64Path()})
        if (!fs::exists(built)) problem += built.string() + " is missing (scripts/build-all.sh builds it). ";
    if (!problem.empty()) return problem;
    // Wine's 32-bit half runs under QEMU through binfmt_misc; without it
    // the product cannot be tested at all, and that must fail, not skip.
    if (Shell("/usr/lib/wine/wine --version >/dev/null 2>&1") != 0)
        return "Wine cannot run 32-bit programs here (/usr/lib/wine/wine does not start: is wine32:i386 "
               "installed and i386 registered with binfmt_misc?  scripts/setup.sh does both)";
    const std::string environment = WineEnvironment(prefix);
    // Named anew whenever what the preparation writes changes, so that a
    // prefix from an older build is prepared again.
    const fs::path ready = prefix / "e2e-ready-2";
    if (!fs::exists(ready)) {
        fs::create_directories(prefix);
        if (Shell(environment + "wineboot -i >/dev/null 2>&1") != 0) return "wineboot failed to prepare " + prefix.string();
        // The relay trace shows each MessageBoxW and CheckTokenMembership
        // call (the administrator test).  Wine draws the
        // title bar itself, as Windows does: a virtual display has no
        // window manager to draw one.
        const fs::path reg = prefix / "e2e.reg";
        std::ofstream(reg, std::ios::binary)
            << "Windows Registry Editor Version 5.00\r\n\r\n"
            << RegFileSection("HKEY_CURRENT_USER\\Software\\Wine\\Debug", {{"RelayInclude", "user32.MessageBoxW;advapi32.CheckTokenMembership"}})
            << RegFileSection("HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver", {{"Decorated", "N"}});
        if (Shell(environment + kWine64 + " reg import " + ShellQuote(WinePath(reg)) + " >/dev/null 2>&1") != 0)
            return "wine reg import failed in " + prefix.string();
        // The 32-bit engine must really be a 32-bit program under WOW64, and
        // the two users must be what they claim: Wine's own user an
        // administrator, the runner's restricted token not.
        const fs::path probe = prefix / "wow64-probe";
        fs::create_directories(probe);
        fs::copy_file(Engine32Path(), probe / "engine.exe", fs::copy_options::overwrite_existing);
        WriteFile(probe / "package", {});
        for (const User user : {User::Administrator, User::StandardUser}) {
            LaunchOptions options;
            options.prefix = prefix;
            options.user = user;
            const WineRun run = Run(probe / "engine.exe", "\"" + WinePath(probe / "package") + "\"", options);
            const auto report = ReadReport(probe / "package");
            fs::remove(probe / "package.report");
            if (!run.exited || !report.count("bits") || report.at("bits") != "32" || report.at("wow64") != "yes") {
                fs::remove_all(probe);
                return "the 32-bit test engine did not run as a 32-bit program under WOW64 (" + run.output +
                       run.errors.substr(0, 500) + ")";
            }
            const std::string admin = user == User::Administrator ? "yes" : "no";
            if (report.at("admin") != admin) {
                fs::remove_all(probe);
                return std::string("the test engine started as ") + NameOf(user) + " reports admin=" +
                       report.at("admin") + " (" + run.output + ")";
            }
        }
        fs::remove_all(probe);
        WriteFile(ready, {});
    }
    // Keep one wineserver for the whole run: each start is then quicker.
    Shell(environment + "wineserver -p >/dev/null 2>&1");
    return {};
}

}  // namespace

const char* NameOf(User user) { return user == User::StandardUser ? "StandardUser" : "Administrator"; }

std::string ShellQuote(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

const LauncherBuild& Stub32() {
    static const LauncherBuild build{"stub32", STUB32_PATH, fs::path(ENGINE32_PATH).parent_path() / "planted.dll",
                                     fs::path(ENGINE32_PATH).parent_path() / "stub32-static-mpr.exe"};
    return build;
}

const LauncherBuild& Stub64() {
    static const LauncherBuild build{"stub64", STUB64_PATH, fs::path(ENGINE64_PATH).parent_path() / "planted.dll",
                                     fs::path(ENGINE64_PATH).parent_path() / "stub64-static-mpr.exe"};
    return build;
}

fs::path Engine32Path() { return ENGINE32_PATH; }
fs::path Engine64Path() { return ENGINE64_PATH; }

fs::path PrefixPath() { return fs::path(E2E_WORK_DIR) / "wineprefix"; }

fs::path DisplayPrefixPath() { return fs::path(E2E_WORK_DIR) / "wineprefix-display"; }

void EndWineSession(const fs::path& prefix) {
    // -k kills the server; -w waits until it has gone, so that the next
    // run cannot reach the dying one.
    Shell(WineEnvironment(prefix) + "wineserver -k >/dev/null 2>&1; " + WineEnvironment(prefix) +
          "wineserver -w >/dev/null 2>&1");
}

fs::path PrefixTempFolder() { return PrefixPath() / "drive_c" / "users" / "root" / "Temp"; }

std::string WinePath(const fs::path& path) {
    std::string out = "Z:";
    for (char c : fs::absolute(path).string()) out += c == '/' ? '\\' : c;
    return out;
}

void EnsurePrefix(const fs::path& prefix) {
    // Once per prefix and process; the slow parts once per prefix.
    static std::mutex mutex;
    static std::map<fs::path, std::string> problems;
    std::lock_guard<std::mutex> lock(mutex);
    if (!problems.count(prefix)) problems[prefix] = PreparePrefix(prefix);
    ASSERT_TRUE(problems[prefix].empty()) << problems[prefix];
}

void SetWindows(const std::string& version, const std::map<std::string, std::string>& values,
                const std::map<std::string, std::string>* values32) {
    const std::string key = "Microsoft\\Windows NT\\CurrentVersion";
    std::string reg = "Windows Registry Editor Version 5.00\r\n\r\n";
    reg += RegFileSection("HKEY_CURRENT_USER\\Software\\Wine", {{"Version", version}});
    reg += RegFileSection("HKEY_LOCAL_MACHINE\\Software\\" + key, values);
    reg += RegFileSection("HKEY_LOCAL_MACHINE\\Software\\Wow6432Node\\" + key, values32 ? *values32 : values);
    const fs::path file = fs::path(E2E_WORK_DIR) / "windows.reg";
    std::ofstream(file, std::ios::binary) << reg;
    // The 64-bit reg.exe names both views explicitly, so one import does.
    ASSERT_EQ(Shell(WineEnvironment() + kWine64 + " reg import " + ShellQuote(WinePath(file)) + " /reg:64 >/dev/null 2>&1"), 0)
        << "wine reg import failed";
}

void ResetWindows() {
    SetWindows("", {{"CurrentBuild", "7601"}, {"DisplayVersion", ""}, {"ReleaseId", ""}});
}

WineRun Launch(const fs::path& exe, const std::string& commandTail, const LaunchOptions& options) {
    EnsurePrefix(options.prefix.empty() ? PrefixPath() : options.prefix);
    return Run(exe, commandTail, options);
}

BackgroundRun StartInBackground(const fs::path& exe, const std::string& commandTail, const LaunchOptions& options) {
    EnsurePrefix(options.prefix.empty() ? PrefixPath() : options.prefix);
    BackgroundRun run;
    run.out = exe.parent_path() / "runner.out";
    run.err = exe.parent_path() / "runner.err";
    const std::string command = LaunchCommand(exe, commandTail, options, run.out, run.err);
    run.started = Now();
    run.pid = fork();
    if (run.pid == 0) {
        setpgid(0, 0);  // its own group, so that a kill reaches Wine too
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return run;
}

WineRun FinishBackgroundRun(BackgroundRun& run, double timeoutSeconds) {
    int status = 0;
    while (waitpid(run.pid, &status, WNOHANG) == 0) {
        if (Now() - run.started > timeoutSeconds) {
            kill(-run.pid, SIGKILL);
            waitpid(run.pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return Collect(run.out, run.err, Now() - run.started);
}

std::string RunConsoleProgram(const fs::path& exe, const std::vector<std::string>& arguments, int* exitCode) {
    EnsurePrefix();
    std::string command = "unset DISPLAY; " + WineEnvironment() + kWine64 + " " + ShellQuote(exe.string());
    for (const std::string& a : arguments) command += " " + ShellQuote(a);
    std::string out;
    if (FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r")) {
        char buffer[512];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
        const int status = pclose(pipe);
        if (exitCode) *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // Console output comes with Windows line ends.
    std::string clean;
    for (char c : out)
        if (c != '\r') clean += c;
    return clean;
}

fs::path TestFolder() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : name)
        if (c == '/') c = '_';
    const fs::path folder = fs::path(E2E_WORK_DIR) / "tests" / name;
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

fs::path Place(const Bytes& package, const std::string& name) {
    const fs::path path = TestFolder() / name;
    WriteFile(path, package);
    return path;
}

std::vector<fs::path> FilesIn(const fs::path& folder) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder)) files.push_back(entry.path().filename());
    return files;
}

std::string WineTempFolder() {
    const passwd* user = getpwuid(getuid());
    return std::string("C:\\users\\") + (user ? user->pw_name : "root") + "\\Temp\\";
}

bool IsRunCopyPath(const std::string& copy, const std::string& parent, const std::string& name) {
    if (copy.size() != parent.size() + 17 + name.size() || copy.compare(0, parent.size(), parent) != 0 ||
        copy.compare(parent.size() + 17, std::string::npos, name) != 0 || copy[parent.size() + 16] != '\\')
        return false;
    for (size_t i = parent.size(); i < parent.size() + 16; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(copy[i]))) return false;
    return true;
}

std::vector<fs::path> RunCopiesIn(const fs::path& folder, const std::string& name) {
    std::vector<fs::path> copies;
    if (!fs::is_directory(folder)) return copies;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string candidate = "X:\\" + entry.path().filename().string() + "\\" + name;
        if (entry.is_directory() && IsRunCopyPath(candidate, "X:\\", name) && fs::exists(entry.path() / name))
            copies.push_back(entry.path() / name);
    }
    return copies;
}

fs::path LinuxPath(const std::string& windowsPath) {
    std::string rest = windowsPath.size() > 2 ? windowsPath.substr(2) : std::string();
    for (char& c : rest)
        if (c == '\\') c = '/';
    const char drive = static_cast<char>(std::toupper(static_cast<unsigned char>(windowsPath.empty() ? 0 : windowsPath[0])));
    if (drive == 'Z') return fs::path(rest);
    return PrefixPath() / "drive_c" / fs::path(rest).relative_path();
}

void WineTest::SetUp() { EnsurePrefix(); }

void WineTest::TearDown() {
    // Leave the prefix as every test expects to find it.
    if (windowsChanged_) ResetWindows();
}

void WineTest::Windows(const std::string& version, const std::map<std::string, std::string>& values,
                       const std::map<std::string, std::string>* values32) {
    windowsChanged_ = true;
    SetWindows(version, values, values32);
}

Bytes ReadFile(const fs::path& path) {
    const std::string s = Slurp(path);
    return Bytes(s.begin(), s.end());
}

void WriteFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

PackageRecipe RealRecipe(const LauncherBuild& launcher) {
    PackageRecipe recipe = SoundRecipe();
    recipe.stub = ReadFile(launcher.stub);
    recipe.engine32 = PayloadInput{ReadFile(Engine32Path()), {}, {}};
    recipe.engine64 = PayloadInput{ReadFile(Engine64Path()), {}, {}};
    return recipe;
}

std::map<std::string, std::string> ReadReport(const fs::path& packagePath) {
    std::map<std::string, std::string> report;
    std::istringstream in(Slurp(packagePath.string() + ".report"));
    std::string line;
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        // Control characters and '%' come as %XX.
        std::string value;
        for (size_t i = eq + 1; i < line.size(); ++i) {
            if (line[i] == '%' && i + 2 < line.size() + 0 && std::isxdigit(static_cast<unsigned char>(line[i + 1])) &&
                std::isxdigit(static_cast<unsigned char>(line[i + 2]))) {
                value += static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                value += line[i];
            }
        }
        report[line.substr(0, eq)] = value;
    }
    return report;
}

}  // namespace e2e
