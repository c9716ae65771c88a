// HostFiles on Linux and other POSIX systems.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include "HostFiles.h"
#include "HostFilesShared.h"
#include "Options.h"

namespace {

std::string Name(const std::string& label, const std::string& path) { return label.empty() ? path : label; }

// An open file descriptor, closed when it goes.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

class MappedFile final : public InputFile {
public:
    MappedFile(std::string path, const uint8_t* data, uint64_t size) {
        path_ = std::move(path);
        data_ = data;
        size_ = size;
    }
    ~MappedFile() override { munmap(const_cast<uint8_t*>(data_), size_); }
};

// The temporary file being written, for the signal handler: a fixed buffer,
// because a handler may only call async-signal-safe functions.
char g_pendingTemporary[4096];
volatile sig_atomic_t g_havePendingTemporary = 0;
constexpr int kSignals[3] = {SIGINT, SIGTERM, SIGHUP};

void RemovePendingAndReraise(int sig) {
    if (g_havePendingTemporary) unlink(g_pendingTemporary);
    signal(sig, SIG_DFL);
    raise(sig);
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string LastSystemError() { return std::strerror(errno); }

std::optional<FileId> IdentifyFile(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return std::nullopt;
    return FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

std::shared_ptr<const InputFile> InputFile::Open(const std::string& path, const std::string& label,
                                                 uint64_t maxSize, const std::string& tooLarge) {
    const std::string name = Name(label, path);
    const Descriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) throw Failure(name + ": cannot open: " + LastSystemError());
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) throw Failure(name + ": cannot read: " + LastSystemError());
    if (S_ISDIR(st.st_mode)) throw Failure(name + " is a folder, not a file");
    // A regular file is mapped (the mapping keeps the file when the
    // descriptor closes).  One that claims to be empty may be a kernel file
    // whose size is not known in advance: it is read.
    if (S_ISREG(st.st_mode) && st.st_size > 0) {
        const uint64_t size = static_cast<uint64_t>(st.st_size);
        if (size > maxSize) throw Failure(TooLargeText(name, size, false, maxSize, tooLarge));
        void* map = mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_PRIVATE, fd.get(), 0);
        if (map == MAP_FAILED)
            throw Failure(name + ": cannot map " + SizeText(size) + " into memory: " + LastSystemError());
        return std::make_shared<MappedFile>(path, static_cast<const uint8_t*>(map), size);
    }
    // A pipe, a terminal or a device: read until it ends.
    std::vector<uint8_t> bytes = ReadToEnd(name, maxSize, tooLarge, [&](uint8_t* buffer, size_t size) {
        for (;;) {
            const ssize_t n = read(fd.get(), buffer, size);
            if (n >= 0) return static_cast<size_t>(n);
            if (errno != EINTR) throw Failure(name + ": cannot read: " + LastSystemError());
        }
    });
    return std::make_shared<StreamedFile>(path, std::move(bytes));
}

struct OutputFile::Impl {
    int fd = -1;
    struct sigaction old[3];
    uint64_t written = 0, flushedTo = 0;
};

namespace {

// Every so many bytes the kernel is asked to start writing what it has, so
// that the disk works while the engine is still being decoded and the final
// fsync has little left to wait for.
constexpr uint64_t kWriteBehind = 8u << 20;

}  // namespace

OutputFile::OutputFile(const std::string& path) : impl_(new Impl), path_(path) {
    temporary_ = path + ".tmp-XXXXXX";
    impl_->fd = mkstemp(temporary_.data());
    if (impl_->fd < 0) throw Failure("cannot create a file in " + FolderOf(path) + ": " + LastSystemError());
    std::strncpy(g_pendingTemporary, temporary_.c_str(), sizeof g_pendingTemporary - 1);
    g_havePendingTemporary = 1;
    struct sigaction sa {};
    sa.sa_handler = RemovePendingAndReraise;
    sigemptyset(&sa.sa_mask);
    for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &sa, &impl_->old[i]);
}

OutputFile::~OutputFile() {
    if (impl_->fd >= 0) close(impl_->fd);
    if (!committed_) unlink(temporary_.c_str());
    for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &impl_->old[i], nullptr);
    g_havePendingTemporary = 0;
}

void OutputFile::Write(const void* data, size_t size) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    for (size_t done = 0; done < size;) {
        const ssize_t n = write(impl_->fd, p + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw Failure("cannot write " + temporary_ + ": " + LastSystemError());
        done += static_cast<size_t>(n);
    }
    impl_->written += size;
#ifdef __linux__
    if (impl_->written - impl_->flushedTo >= kWriteBehind) {
        // Only a hint: fsync in Finish is what makes the file durable.
        sync_file_range(impl_->fd, static_cast<off_t>(impl_->flushedTo),
                        static_cast<off_t>(impl_->written - impl_->flushedTo), SYNC_FILE_RANGE_WRITE);
        impl_->flushedTo = impl_->written;
    }
#endif
}

void OutputFile::Finish() {
    // The mode a linker gives its output: 0777 minus the umask.
    const mode_t mask = umask(0);
    umask(mask);
    if (fchmod(impl_->fd, 0777 & ~mask) != 0)
        throw Failure("cannot set the permissions of " + temporary_ + ": " + LastSystemError());
    if (fsync(impl_->fd) != 0) throw Failure("cannot flush " + temporary_ + ": " + LastSystemError());
    const int fd = impl_->fd;
    impl_->fd = -1;
    if (close(fd) != 0) throw Failure("cannot close " + temporary_ + ": " + LastSystemError());
}

void OutputFile::Commit() {
    if (impl_->fd >= 0) Finish();
    if (rename(temporary_.c_str(), path_.c_str()) != 0)
        throw Failure("cannot rename the finished file to " + path_ + ": " + LastSystemError());
    committed_ = true;
    // The rename itself is only durable once the folder is flushed.
    const int dir = open(FolderOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
}

// A terminal takes UTF-8 as it is.
void PrepareStandardStreams() {}

// The default action of SIGINT, SIGTERM and SIGHUP ends the process with
// the signal; an OutputFile removes its temporary file first.
void HandleInterruptions() {}

bool IsTerminal(StandardStream stream) {
    return isatty(stream == StandardStream::kOutput ? STDOUT_FILENO : STDERR_FILENO) == 1;
}
