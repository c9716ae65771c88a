// HostFiles on Linux and other POSIX systems.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

extern char** environ;

#include "Concurrency.h"
#include "HostFiles.h"
#include "HostFilesShared.h"
#include "Options.h"

namespace {

std::string Name(const std::string& label, const std::string& path) { return label.empty() ? path : label; }

// An open file descriptor, closed when it goes.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { Reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    void Reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }
    // Hands the descriptor over without closing it.
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes it and says whether that went well (a deferred write error
    // shows here).
    bool Close() {
        const int fd = fd_;
        fd_ = -1;
        return fd < 0 || close(fd) == 0;
    }

private:
    int fd_;
};

// A fault on a mapped input means that the file shrank under it: the pages
// past its new end are gone.  The process ends with the file's name and
// exit code 1; a pending output goes first.
char g_pendingTemporary[PATH_MAX + 1];
volatile sig_atomic_t g_havePendingTemporary = 0;

// Scratch files and running sign commands, for the same handlers: fixed
// slots, filled and emptied under a mutex, read by the handler.
constexpr int kScratchSlots = 8;
char g_scratch[kScratchSlots][PATH_MAX + 1];
volatile sig_atomic_t g_scratchUsed[kScratchSlots];
constexpr int kChildSlots = 4;
volatile sig_atomic_t g_children[kChildSlots];  // process ids, 0 when free
std::mutex g_slots;

// Async-signal-safe: ends the sign commands still running and removes every
// file mkpackage was writing.
void RemovePending() {
    for (int i = 0; i < kChildSlots; ++i)
        if (g_children[i] > 0) kill(-static_cast<pid_t>(g_children[i]), SIGTERM);
    for (int i = 0; i < kScratchSlots; ++i)
        if (g_scratchUsed[i]) unlink(g_scratch[i]);
    if (g_havePendingTemporary) unlink(g_pendingTemporary);
}

void EndOnShrunkInput(int sig, siginfo_t* info, void*) {
    size_t length = 0;
    const char* message = MappedInputs::MessageFor(info->si_addr, length);
    if (!message) {
        // A fault of some other kind: the default action, as if never caught.
        signal(sig, SIG_DFL);
        return;
    }
    RemovePending();
    ssize_t ignored = write(STDERR_FILENO, message, length);
    (void)ignored;
    _exit(kExitFailure);
}

void CatchShrunkInputs() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    struct sigaction sa {};
    sa.sa_sigaction = EndOnShrunkInput;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGBUS, &sa, nullptr);
}

class MappedFile final : public MappedInput {
public:
    MappedFile(std::string path, std::string name, int fd, const struct stat& st, const uint8_t* data, uint64_t size)
        : MappedInput(std::move(path), std::move(name), data, size), fd_(fd), size0_(st.st_size), mtime_(st.st_mtim) {}
    ~MappedFile() override { munmap(const_cast<uint8_t*>(data_), size_); }
    void CheckUnchanged() const override {
        struct stat st {};
        if (fstat(fd_.get(), &st) != 0 || st.st_size != size0_ || st.st_mtim.tv_sec != mtime_.tv_sec ||
            st.st_mtim.tv_nsec != mtime_.tv_nsec)
            Changed();
    }

private:
    Descriptor fd_;  // kept open to ask whether the file changed
    off_t size0_;
    timespec mtime_;
};

// The signals that would end the process while OUT is made: caught, so
// that its temporary file and scratch files go with it.
constexpr int kSignals[4] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// Holds back the signals above in this thread while it lives: one that
// came between making a file and noting it for the handler would end the
// process and leave the file.  A signal held back is delivered after.
class HeldSignals {
public:
    HeldSignals() {
        sigset_t held;
        sigemptyset(&held);
        for (const int sig : kSignals) sigaddset(&held, sig);
        pthread_sigmask(SIG_BLOCK, &held, &before_);
    }
    ~HeldSignals() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;

private:
    sigset_t before_;
};

void RemovePendingAndReraise(int sig) {
    RemovePending();
    signal(sig, SIG_DFL);
    raise(sig);
}

std::string TemporaryFolder() {
    const char* folder = std::getenv("TMPDIR");
    return folder && *folder ? folder : "/tmp";
}

// A new file in folder, named mkpackage-XXXXXX.tmp: short, so that any
// name the file system takes for OUT leaves room for it.
int CreateTemporary(const std::string& folder, std::string& path) {
    path = folder + (folder.back() == '/' ? "" : "/") + "mkpackage-XXXXXX.tmp";
    return mkstemps(path.data(), 4);
}

// Opens path for reading; "-" is standard input.
int OpenForReading(const std::string& path) {
    return path == "-" ? fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0) : open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

// Whether fd, as opened, can be mapped from its start: a regular file with
// bytes in it, not read from already (standard input may have been).  One
// that claims to be empty may be a kernel file whose size is not known in
// advance: it is read.
bool Mappable(int fd, const struct stat& st) {
    return S_ISREG(st.st_mode) && st.st_size > 0 && lseek(fd, 0, SEEK_CUR) == 0;
}

size_t ReadSome(int fd, const std::string& name, uint8_t* buffer, size_t size) {
    for (;;) {
        const ssize_t n = read(fd, buffer, size);
        if (n >= 0) return static_cast<size_t>(n);
        if (errno != EINTR) throw Failure(name + ": cannot read: " + LastSystemError());
    }
}

void WriteAll(int fd, const uint8_t* p, size_t size, const std::string& name) {
    for (size_t done = 0; done < size;) {
        const ssize_t n = write(fd, p + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw Failure("cannot write " + name + ": " + LastSystemError());
        done += static_cast<size_t>(n);
    }
}

std::shared_ptr<MappedFile> Map(const std::string& path, const std::string& name, Descriptor& fd,
                                const struct stat& st, uint64_t size) {
    void* map = mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_PRIVATE, fd.get(), 0);
    if (map == MAP_FAILED)
        throw Failure(name + ": cannot map " + SizeText(size) + " into memory: " + LastSystemError());
    CatchShrunkInputs();
    std::shared_ptr<MappedFile> file;
    try {
        file = std::make_shared<MappedFile>(path, name, fd.get(), st, static_cast<const uint8_t*>(map), size);
    } catch (...) {
        munmap(map, static_cast<size_t>(size));
        throw;
    }
    fd.Release();  // the file holds it now
    return file;
}

struct stat StatOf(int fd, const std::string& name) {
    struct stat st {};
    if (fstat(fd, &st) != 0) throw Failure(name + ": cannot read: " + LastSystemError());
    if (S_ISDIR(st.st_mode)) throw Failure(name + " is a folder, not a file");
    return st;
}

}  // namespace

std::string LastSystemError() { return std::strerror(errno); }

std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::optional<FileId> IdentifyFile(const std::string& path) {
    struct stat st {};
    if (path == "-" || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

std::shared_ptr<const InputFile> InputFile::Open(const std::string& path, const std::string& label,
                                                 uint64_t maxSize, const std::string& tooLarge) {
    const std::string name = Name(label, path);
    Descriptor fd(OpenForReading(path));
    if (fd.get() < 0) throw Failure(name + ": cannot open: " + LastSystemError());
    const struct stat st = StatOf(fd.get(), name);
    if (Mappable(fd.get(), st)) {
        const uint64_t size = static_cast<uint64_t>(st.st_size);
        if (size > maxSize) throw Failure(TooLargeText(name, size, false, maxSize, tooLarge));
        return Map(path, name, fd, st, size);
    }
    // A pipe, a terminal or a device: read until it ends.
    std::vector<uint8_t> bytes = ReadToEnd(name, maxSize, tooLarge, [&](uint8_t* buffer, size_t size) {
        return ReadSome(fd.get(), name, buffer, size);
    });
    return std::make_shared<StreamedFile>(path, std::move(bytes));
}

std::shared_ptr<const InputFile> InputFile::OpenBounded(const std::string& path, const StreamBound& bound) {
    Descriptor fd(OpenForReading(path));
    if (fd.get() < 0) throw Failure(path + ": cannot open: " + LastSystemError());
    const struct stat st = StatOf(fd.get(), path);
    if (Mappable(fd.get(), st)) return Map(path, path, fd, st, static_cast<uint64_t>(st.st_size));
    // A stream: what is kept goes to a temporary file, gone as soon as it is
    // closed, and is mapped from there.
    std::string spoolPath;
    Descriptor spool(CreateTemporary(TemporaryFolder(), spoolPath));
    if (spool.get() < 0)
        throw Failure(path + ": cannot create a file in " + TemporaryFolder() + " to read it into: " +
                      LastSystemError());
    unlink(spoolPath.c_str());
    // Blocks of zeros (a stream of holes, /dev/zero after a package) are
    // skipped rather than written: the file stays sparse, and the disk
    // holds only what the stream really held.
    const std::string spoolName = "a temporary file in " + TemporaryFolder();
    const Spooled kept = Spool(
        bound, [&](uint8_t* buffer, size_t size) { return ReadSome(fd.get(), path, buffer, size); },
        [&](const uint8_t* data, size_t size) {
            constexpr size_t kBlock = 4096;
            for (size_t at = 0; at < size; at += kBlock) {
                const size_t n = std::min(kBlock, size - at);
                if (std::all_of(data + at, data + at + n, [](uint8_t b) { return b == 0; })) {
                    if (lseek(spool.get(), static_cast<off_t>(n), SEEK_CUR) < 0)
                        throw Failure("cannot write " + spoolName + ": " + LastSystemError());
                } else {
                    WriteAll(spool.get(), data + at, n, spoolName);
                }
            }
        });
    if (kept.size == 0) return std::make_shared<StreamedFile>(path, std::vector<uint8_t>());
    if (ftruncate(spool.get(), static_cast<off_t>(kept.size)) != 0)
        throw Failure("cannot write " + spoolName + ": " + LastSystemError());
    const struct stat spooled = StatOf(spool.get(), path);
    const std::shared_ptr<MappedFile> file = Map(path, path, spool, spooled, kept.size);
    file->SetCut(kept.cut);
    return file;
}

struct OutputFile::Impl {
    Descriptor fd;              // the temporary file
    bool through = false;       // OUT is written into, not replaced
    bool standardOutput = false;
    std::string target;         // what is replaced or written into
    struct sigaction old[4];
    bool caught[4] = {};
    uint64_t written = 0, flushedTo = 0;
};

namespace {

// Every so many bytes the kernel is asked to start writing what it has, so
// that the disk works while the engine is still being decoded and the final
// fsync has little left to wait for.
constexpr uint64_t kWriteBehind = 8u << 20;

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

}  // namespace

OutputFile::OutputFile(const std::string& path) : impl_(new Impl), path_(path) {
    Impl& o = *impl_;
    struct stat st {}, out {};
    const bool haveOut = fstat(STDOUT_FILENO, &out) == 0;
    if (path == "-") {
        o.through = o.standardOutput = true;
    } else if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            throw Failure(path + " is a folder; name the file to write (" + path + "/MySetup.exe, say)");
        o.standardOutput = haveOut && SameFile(st, out);
        o.through = o.standardOutput || !S_ISREG(st.st_mode);
        if (!o.through) {
            // Followed: the link stays, the file it points to is replaced.
            char real[PATH_MAX + 1];
            o.target = realpath(path.c_str(), real) ? real : path;
        } else if (S_ISCHR(st.st_mode)) {
            const Descriptor device(open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
            if (device.get() >= 0 && isatty(device.get()))
                throw Failure(path + " is a terminal; a package is no text: name a file, or redirect the output");
            o.target = path;
        } else {
            o.target = path;
        }
    } else if (!path.empty() && path.back() == '/') {
        throw Failure(path + " ends in '/': name the file to write, not a folder");
    } else if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        // Neither followed nor replaced: /dev/stdout with standard output
        // closed is such a link, and no system file is to be replaced.
        throw Failure(path + " is a symbolic link that points nowhere; name the file to write");
    } else {
        o.target = path;
    }
    if (o.standardOutput && isatty(STDOUT_FILENO))
        throw Failure(std::string(path == "-" ? "standard output" : path) +
                      " is a terminal; a package is no text: redirect it (> MySetup.exe) or name a file");

    const std::string folder = o.through ? TemporaryFolder() : FolderOf(o.target);
    const HeldSignals held;  // until the file is made and its handlers set
    o.fd.Reset(CreateTemporary(folder, temporary_));
    if (o.fd.get() < 0) throw Failure("cannot create a file in " + folder + ": " + LastSystemError());
    std::strncpy(g_pendingTemporary, temporary_.c_str(), sizeof g_pendingTemporary - 1);
    g_havePendingTemporary = 1;
    // Only signals that would have ended the process are caught: one the
    // caller set to be ignored (nohup, a script's background job) stays so.
    struct sigaction sa {};
    sa.sa_handler = RemovePendingAndReraise;
    sigemptyset(&sa.sa_mask);
    for (int i = 0; i < 4; ++i) {
        if (sigaction(kSignals[i], nullptr, &o.old[i]) != 0 || o.old[i].sa_handler == SIG_IGN) continue;
        o.caught[i] = sigaction(kSignals[i], &sa, nullptr) == 0;
    }
}

OutputFile::~OutputFile() {
    impl_->fd.Reset();
    if (!committed_) unlink(temporary_.c_str());
    for (int i = 0; i < 4; ++i)
        if (impl_->caught[i]) sigaction(kSignals[i], &impl_->old[i], nullptr);
    g_havePendingTemporary = 0;
}

bool OutputFile::IsStandardOutput() const { return impl_->standardOutput; }

void OutputFile::Write(const void* data, size_t size) {
    WriteAll(impl_->fd.get(), static_cast<const uint8_t*>(data), size, temporary_);
    impl_->written += size;
#ifdef __linux__
    if (!impl_->through && impl_->written - impl_->flushedTo >= kWriteBehind) {
        // Only a hint: fsync in Finish is what makes the file durable.
        sync_file_range(impl_->fd.get(), static_cast<off_t>(impl_->flushedTo),
                        static_cast<off_t>(impl_->written - impl_->flushedTo), SYNC_FILE_RANGE_WRITE);
        impl_->flushedTo = impl_->written;
    }
#endif
}

void OutputFile::Finish() {
    if (impl_->fd.get() < 0) return;
    // A file copied into a device or pipe need not last.
    if (!impl_->through) {
        // The mode a linker gives its output: 0777 minus the umask.
        const mode_t mask = umask(0);
        umask(mask);
        if (fchmod(impl_->fd.get(), 0777 & ~mask) != 0)
            throw Failure("cannot set the permissions of " + temporary_ + ": " + LastSystemError());
        if (fsync(impl_->fd.get()) != 0) throw Failure("cannot flush " + temporary_ + ": " + LastSystemError());
    }
    if (!impl_->fd.Close()) throw Failure("cannot close " + temporary_ + ": " + LastSystemError());
}

void OutputFile::ReplaceTemporaryWith(const std::string& path) {
    // The replacement gets what Finish gave the temporary file: the mode a
    // linker gives its output, and its bytes on disk.
    Descriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    const mode_t mask = umask(0);
    umask(mask);
    if (fd.get() < 0 || fchmod(fd.get(), impl_->through ? 0600 : 0777 & ~mask) != 0 ||
        (!impl_->through && fsync(fd.get()) != 0))
        throw Failure("cannot make " + path + " the finished file: " + LastSystemError());
    if (path != temporary_ && rename(path.c_str(), temporary_.c_str()) != 0)
        throw Failure("cannot rename " + path + " to " + temporary_ + ": " + LastSystemError());
}

void OutputFile::Commit() {
    Finish();
    Impl& o = *impl_;
    if (!o.through) {
        if (rename(temporary_.c_str(), o.target.c_str()) != 0)
            throw Failure("cannot rename the finished file to " + o.target + ": " + LastSystemError());
        committed_ = true;
        // The rename itself is only durable once the folder is flushed.
        const Descriptor dir(open(FolderOf(o.target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir.get() >= 0) fsync(dir.get());
        return;
    }
    // Into the device, FIFO or standard output, which stays what it is.  A
    // FIFO's open waits for its reader, as cat's would.
    const std::string name = o.standardOutput ? std::string("standard output") : path_;
    Descriptor in(open(temporary_.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) throw Failure("cannot read " + temporary_ + " back: " + LastSystemError());
    Descriptor dest(o.standardOutput ? fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0)
                                     : open(o.target.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
    if (dest.get() < 0) throw Failure("cannot open " + name + ": " + LastSystemError());
    std::vector<uint8_t> buffer(1 << 20);
    for (;;) {
        const size_t n = ReadSome(in.get(), temporary_, buffer.data(), buffer.size());
        if (n == 0) break;
        WriteAll(dest.get(), buffer.data(), n, name);
    }
    if (!dest.Close()) throw Failure("cannot write " + name + ": " + LastSystemError());
    unlink(temporary_.c_str());
    committed_ = true;
}

// A terminal takes UTF-8 as it is.  A standard stream the caller closed
// (>&-) gets a stand-in, /dev/null opened the wrong way round, so that using
// it still fails, and no file mkpackage opens later takes its number: the
// package would otherwise go where standard output was expected, or
// /dev/stdout name one of mkpackage's own files.
void PrepareStandardStreams() {
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int standIn = open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
        if (standIn >= 0 && standIn != fd) {
            dup2(standIn, fd);
            close(standIn);
        }
    }
}

// The default action of SIGINT, SIGTERM and SIGHUP ends the process with
// the signal; an OutputFile removes its temporary file first.
void HandleInterruptions() {}

bool IsTerminal(StandardStream stream) {
    const int fd = stream == StandardStream::kInput ? STDIN_FILENO
                   : stream == StandardStream::kOutput ? STDOUT_FILENO : STDERR_FILENO;
    return isatty(fd) == 1;
}

ScratchFile::ScratchFile(const std::string& folder) {
    const HeldSignals held;  // until the file is noted for the handler
    Descriptor fd(CreateTemporary(folder, path_));
    if (fd.get() < 0) throw Failure("cannot create a file in " + folder + ": " + LastSystemError());
    const std::lock_guard<std::mutex> lock(g_slots);
    for (int i = 0; i < kScratchSlots; ++i)
        if (!g_scratchUsed[i] && path_.size() < sizeof g_scratch[i]) {
            std::memcpy(g_scratch[i], path_.c_str(), path_.size() + 1);
            g_scratchUsed[i] = 1;
            slot_ = i;
            break;
        }
}

ScratchFile::~ScratchFile() {
    Forget();
    if (!released_) unlink(path_.c_str());
}

void ScratchFile::Forget() {
    const std::lock_guard<std::mutex> lock(g_slots);
    if (slot_ >= 0) g_scratchUsed[slot_] = 0;
    slot_ = -1;
}

void ScratchFile::Vacate() { unlink(path_.c_str()); }

bool PathExists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::optional<std::string> EnvironmentVariable(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    if (!value) return std::nullopt;
    return std::string(value);
}

void WriteWholeFile(const std::string& path, const uint8_t* data, uint64_t size) {
    Descriptor fd(open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (fd.get() < 0) throw Failure("cannot open " + path + ": " + LastSystemError());
    for (uint64_t done = 0; done < size;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(size - done, 1u << 30));
        WriteAll(fd.get(), data + done, n, path);
        done += n;
    }
    if (!fd.Close()) throw Failure("cannot write " + path + ": " + LastSystemError());
}

std::string ShellWord(const std::string&, const std::string& value) {
    std::string word = "'";
    for (char c : value) word += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return word + "'";
}

ShellResult RunShellCommand(const std::string& command,
                            const std::vector<std::pair<std::string, std::string>>& variables) {
    // The environment, built before the child exists: between fork and exec
    // of a process with several threads nothing else would be safe.
    std::vector<std::string> entries;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const bool replaced = std::any_of(variables.begin(), variables.end(), [&](const auto& v) {
            return entry.compare(0, v.first.size() + 1, v.first + "=") == 0;
        });
        if (!replaced) entries.push_back(entry);
    }
    for (const auto& [name, value] : variables) entries.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& entry : entries) envp.push_back(entry.data());
    envp.push_back(nullptr);

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) throw Failure("cannot run the sign command: " + LastSystemError());
    Descriptor readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDERR_FILENO);
    // A process group of its own, so that an interruption ends what the
    // shell started too, not only the shell.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
    pid_t pid = 0;
    int slot = -1;
    int spawned;
    {
        // Registered at once, so that an interruption ends it too.
        const std::lock_guard<std::mutex> lock(g_slots);
        spawned = posix_spawn(&pid, "/bin/sh", &actions, &attributes, const_cast<char* const*>(argv), envp.data());
        if (spawned == 0)
            for (int i = 0; i < kChildSlots && slot < 0; ++i)
                if (g_children[i] == 0) g_children[slot = i] = pid;
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    writeEnd.Reset();
    if (spawned != 0) throw Failure("cannot run the sign command: /bin/sh: " + std::string(std::strerror(spawned)));

    // Read until the pipe ends, or until the shell has ended and nothing
    // more is there: a signer may leave a process behind (an agent that
    // keeps a key open) that holds the pipe for as long as it runs.
    ShellResult result;
    OutputTail said;
    char buffer[4096];
    int status = 0;
    bool ended = false;
    for (;;) {
        pollfd ready{readEnd.get(), POLLIN, 0};
        const int n = poll(&ready, 1, ended ? 0 : 100);
        if (n < 0 && errno == EINTR) continue;
        if (n > 0) {
            const ssize_t got = read(readEnd.get(), buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            said.Append(buffer, static_cast<size_t>(got));
            continue;
        }
        if (ended) break;
        ended = waitpid(pid, &status, WNOHANG) == pid;
    }
    result.output = said.Take();
    while (!ended && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    {
        const std::lock_guard<std::mutex> lock(g_slots);
        if (slot >= 0) g_children[slot] = 0;
    }
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

static_assert(sizeof(std::mutex) <= 64, "Mutex storage too small for std::mutex");

Mutex::Mutex() { new (storage_) std::mutex; }
Mutex::~Mutex() { reinterpret_cast<std::mutex*>(storage_)->~mutex(); }
void Mutex::lock() { reinterpret_cast<std::mutex*>(storage_)->lock(); }
void Mutex::unlock() { reinterpret_cast<std::mutex*>(storage_)->unlock(); }

uint64_t MemoryForThisProcess() {
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    uint64_t memory = pages > 0 && page > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(page) : 0;
    for (const int resource : {RLIMIT_AS, RLIMIT_DATA}) {
        struct rlimit limit {};
        if (getrlimit(resource, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
            (memory == 0 || limit.rlim_cur < memory))
            memory = limit.rlim_cur;
    }
    return memory;
}

void RunSideBySide(const std::vector<std::function<void()>>& tasks) {
    std::vector<std::thread> threads;
    for (size_t i = 1; i < tasks.size(); ++i) threads.emplace_back(tasks[i]);
    if (!tasks.empty()) tasks[0]();
    for (std::thread& t : threads) t.join();
}
