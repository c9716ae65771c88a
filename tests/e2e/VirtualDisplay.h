// A virtual X display (Xvfb) for seeing the launcher's message boxes as real
// windows, and the few xdotool operations a test needs on them.
#pragma once
#include <optional>
#include <string>

namespace e2e {

class VirtualDisplay {
public:
    // Starts Xvfb on the first free display number from 90 up.
    VirtualDisplay();
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    // Empty when the display is up; else why not.
    const std::string& Problem() const { return problem_; }
    // ":90", for DISPLAY.
    std::string Name() const { return ":" + std::to_string(number_); }

    // The first window whose title is exactly title, waiting up to timeout.
    std::optional<std::string> WaitForWindow(const std::string& title, double timeoutSeconds) const;
    // The Linux process that owns window (_NET_WM_PID), or -1.
    int WindowProcess(const std::string& window) const;
    // "id name" of every window with a name, for failure messages.
    std::string WindowList() const;
    // Presses Enter in window: a message box's default button.
    void PressEnter(const std::string& window) const;

private:
    std::string Run(const std::string& command) const;
    int number_ = -1;
    int pid_ = -1;
    std::string problem_;
};

// The command line of a Linux process, NUL separators turned into spaces.
std::string ProcessCommandLine(int pid);

}  // namespace e2e
