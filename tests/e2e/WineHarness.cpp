#include "WineHarness.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>

#include "TestPackages.h"

namespace e2e {

namespace {

std::string Quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

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

std::string WineEnvironment() {
    return "WINEPREFIX=" + Quote(PrefixPath().string()) + " WINEDEBUG=-all WINEARCH=win64 ";
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

std::vector<WineMessage> ParseMessages(const std::string& errors) {
    std::vector<WineMessage> messages;
    std::istringstream in(errors);
    std::string line;
    while (std::getline(in, line)) {
        if (line.find("Call user32.MessageBoxW(") == std::string::npos) continue;
        WineMessage m;
        size_t at = 0;
        m.text = TakeQuoted(line, at);
        m.caption = TakeQuoted(line, at);
        const size_t close = line.find(')', at);
        const size_t comma = line.rfind(',', close);
        if (comma != std::string::npos && close != std::string::npos) m.style = line.substr(comma + 1, close - comma - 1);
        messages.push_back(m);
    }
    return messages;
}

}  // namespace

fs::path PrefixPath() { return fs::path(E2E_WORK_DIR) / "wineprefix"; }

std::string WinePath(const fs::path& path) {
    std::string out = "Z:";
    for (char c : fs::absolute(path).string()) out += c == '/' ? '\\' : c;
    return out;
}

void EnsurePrefix() {
    static std::once_flag once;
    std::call_once(once, [] {
        fs::create_directories(PrefixPath());
        if (!fs::exists(PrefixPath() / "system.reg")) {
            ASSERT_EQ(Shell(WineEnvironment() + "wineboot -i >/dev/null 2>&1"), 0) << "wineboot failed";
        }
        // Keep one wineserver for the whole run: each start is then ~0.1 s.
        Shell(WineEnvironment() + "wineserver -p >/dev/null 2>&1");
        Reg({"add", "HKCU\\Software\\Wine\\Debug", "/v", "RelayInclude", "/d", "user32.MessageBoxW", "/f"});
    });
}

void Reg(const std::vector<std::string>& args) {
    std::string command = WineEnvironment() + "wine reg";
    for (const auto& a : args) command += " " + Quote(a);
    Shell(command + " >/dev/null 2>&1");
}

void SetWindowsVersion(const std::string& version) {
    if (version.empty())
        Reg({"delete", "HKCU\\Software\\Wine", "/v", "Version", "/f"});
    else
        Reg({"add", "HKCU\\Software\\Wine", "/v", "Version", "/d", version, "/f"});
}

void SetCurrentVersionValue(const std::string& name, const std::string& value) {
    const std::string key = "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion";
    if (value.empty())
        Reg({"delete", key, "/v", name, "/f"});
    else
        Reg({"add", key, "/v", name, "/t", "REG_SZ", "/d", value, "/f"});
}

WineRun Launch(const fs::path& exe, const std::string& commandTail,
               const std::map<std::string, std::string>& extraEnvironment) {
    EnsurePrefix();
    const fs::path folder = exe.parent_path();
    const fs::path out = folder / "runner.out", err = folder / "runner.err";
    std::string command = "cd " + Quote(folder.string()) + " && WINEPREFIX=" + Quote(PrefixPath().string()) +
                          " WINEDEBUG=+relay E2E_COMMAND_LINE=" +
                          Quote("\"" + WinePath(exe) + "\"" + (commandTail.empty() ? "" : " " + commandTail));
    for (const auto& [name, value] : extraEnvironment) command += " " + name + "=" + Quote(value);
    command += " timeout 120 wine " + Quote(RUNNER64_PATH) + " >" + Quote(out.string()) + " 2>" + Quote(err.string());
    const auto start = std::chrono::steady_clock::now();
    Shell(command);
    WineRun run;
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.output = Slurp(out);
    run.errors = Slurp(err);
    run.messages = ParseMessages(run.errors);
    const size_t at = run.output.find("exitcode=");
    if (at != std::string::npos) {
        run.exited = true;
        run.exitCode = static_cast<uint32_t>(std::stoul(run.output.substr(at + 9)));
    }
    fs::remove(out);
    fs::remove(err);
    return run;
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

Bytes ReadFile(const fs::path& path) {
    const std::string s = Slurp(path);
    return Bytes(s.begin(), s.end());
}

void WriteFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes Engine() { return ReadFile(ENGINE64_PATH); }

Bytes PaddedEngine() {
    Bytes engine = Engine();
    engine.resize(engine.size() + 4096, 0);
    return engine;
}

PackageRecipe RealRecipe(const fs::path& launcher) {
    PackageRecipe recipe = SoundRecipe();
    recipe.stub = ReadFile(launcher);
    recipe.engine32 = PayloadInput{PaddedEngine(), {}, {}};
    recipe.engine64 = PayloadInput{Engine(), {}, {}};
    return recipe;
}

std::map<std::string, std::string> ReadReport(const fs::path& packagePath) {
    std::map<std::string, std::string> report;
    std::istringstream in(Slurp(packagePath.string() + ".report"));
    std::string line;
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) report[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return report;
}

}  // namespace e2e
