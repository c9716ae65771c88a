#include "VirtualDisplay.h"

#include "WineHarness.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace e2e {

namespace {

void Pause(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

// xdotool takes a window name as a regular expression.
std::string RegexEscape(const std::string& text) {
    std::string out = "^";
    for (char c : text) {
        if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) out += '\\';
        out += c;
    }
    return out + "$";
}

}  // namespace

VirtualDisplay::VirtualDisplay() {
    if (std::system("command -v Xvfb >/dev/null 2>&1 && command -v xdotool >/dev/null 2>&1") != 0) {
        problem_ = "Xvfb or xdotool is missing (scripts/setup.sh installs xvfb and xdotool)";
        return;
    }
    for (int n = 90; n < 140 && pid_ < 0; ++n) {
        // A display whose lock file exists is taken.
        if (std::filesystem::exists("/tmp/.X" + std::to_string(n) + "-lock")) continue;
        const int pid = fork();
        if (pid == 0) {
            const std::string display = ":" + std::to_string(n);
            std::freopen("/dev/null", "w", stdout);
            std::freopen("/dev/null", "w", stderr);
            execlp("Xvfb", "Xvfb", display.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        // Up when it answers; gone when the number was taken after all.
        for (int i = 0; i < 50; ++i) {
            Pause(100);
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) break;
            if (std::system(("xdpyinfo -display :" + std::to_string(n) + " >/dev/null 2>&1").c_str()) == 0) {
                number_ = n;
                pid_ = pid;
                break;
            }
        }
        if (pid_ < 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    if (pid_ < 0) problem_ = "Xvfb did not start on any display from :90 to :139";
}

VirtualDisplay::~VirtualDisplay() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

std::string VirtualDisplay::Run(const std::string& command) const {
    const std::string full = "DISPLAY=" + Name() + " " + command + " 2>/dev/null";
    std::string out;
    if (FILE* pipe = popen(full.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
        pclose(pipe);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

std::optional<std::string> VirtualDisplay::WaitForWindow(const std::string& title, double timeoutSeconds) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (std::chrono::steady_clock::now() < end) {
        std::istringstream ids(Run("xdotool search --name " + ShellQuote(RegexEscape(title))));
        std::string id;
        // The search matches substrings of names too; take an exact one.
        while (std::getline(ids, id))
            if (!id.empty() && Run("xdotool getwindowname " + id) == title) return id;
        Pause(200);
    }
    return std::nullopt;
}

int VirtualDisplay::WindowProcess(const std::string& window) const {
    const std::string pid = Run("xdotool getwindowpid " + window);
    return pid.empty() ? -1 : std::stoi(pid);
}

std::string VirtualDisplay::WindowList() const {
    std::istringstream ids(Run("xdotool search --name ."));
    std::string id, list;
    while (std::getline(ids, id)) list += id + " " + Run("xdotool getwindowname " + id) + "\n";
    return list;
}

void VirtualDisplay::PressEnter(const std::string& window) const {
    Run("xdotool key --window " + window + " Return");
}

std::string ProcessCommandLine(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (char& c : text)
        if (c == '\0') c = ' ';
    return text;
}

}  // namespace e2e
