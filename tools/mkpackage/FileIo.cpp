#include "FileIo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

namespace {

std::string Reason(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

// The temporary file being written, for the signal handler: a fixed buffer,
// because a handler may only call async-signal-safe functions.
char g_pendingTemp[4096];
volatile sig_atomic_t g_havePendingTemp = 0;

void RemovePendingAndReraise(int sig) {
    if (g_havePendingTemp) unlink(g_pendingTemp);
    signal(sig, SIG_DFL);
    raise(sig);
}

// Installs the clean-up handlers for the duration of one write.
class PendingTemp {
public:
    explicit PendingTemp(const std::string& path) {
        std::strncpy(g_pendingTemp, path.c_str(), sizeof g_pendingTemp - 1);
        g_havePendingTemp = 1;
        struct sigaction sa {};
        sa.sa_handler = RemovePendingAndReraise;
        sigemptyset(&sa.sa_mask);
        for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &sa, &old_[i]);
    }
    ~PendingTemp() {
        for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &old_[i], nullptr);
        g_havePendingTemp = 0;
    }
    PendingTemp(const PendingTemp&) = delete;
    PendingTemp& operator=(const PendingTemp&) = delete;

private:
    static constexpr int kSignals[3] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction old_[3];
};

std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool ReadWholeFile(const std::string& path, Bytes& bytes, std::string& error) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = Reason("cannot open", path);
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = S_ISDIR(st.st_mode) ? "cannot read " + path + ": it is a folder" : Reason("cannot read", path);
        close(fd);
        return false;
    }
    bytes.clear();
    bytes.reserve(static_cast<size_t>(st.st_size));
    uint8_t buffer[1 << 16];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = Reason("cannot read", path);
            close(fd);
            return false;
        }
        if (n == 0) break;
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    close(fd);
    return true;
}

bool WriteFileAtomically(const std::string& path, const Bytes& bytes, std::string& error) {
    const std::string folder = FolderOf(path);
    std::string temp = path + ".tmp-XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        error = Reason("cannot create a file in", folder);
        return false;
    }
    PendingTemp pending(temp);
    auto fail = [&](const std::string& what) {
        error = Reason(what, temp);
        close(fd);
        unlink(temp.c_str());
        return false;
    };
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail("cannot write");
        done += static_cast<size_t>(n);
    }
    const mode_t mask = umask(0);
    umask(mask);
    if (fchmod(fd, 0777 & ~mask) != 0) return fail("cannot set the permissions of");
    if (fsync(fd) != 0) return fail("cannot flush");
    if (close(fd) != 0) {
        error = Reason("cannot close", temp);
        unlink(temp.c_str());
        return false;
    }
    if (rename(temp.c_str(), path.c_str()) != 0) {
        error = Reason("cannot rename the finished file to", path);
        unlink(temp.c_str());
        return false;
    }
    // The rename itself is only durable once the folder is flushed.
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return true;
}
