#include "PosixPlatform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "CRC32/CRC32.h"
#include "NoRTLStream/StubMemory.h"

// The benchmark's launcher ends on memory exhaustion as the shipped one
// does: with the runtime's code and no message.
void OutOfMemory() {
    std::fprintf(stderr, "bench: out of memory\n");
    _exit(kOutOfMemoryExitCode);
}

namespace {

// Handles are file descriptors moved away from 0 and from the invalid value.
constexpr intptr_t kHandleBase = 0x10000;
Handle ToHandle(int fd) { return reinterpret_cast<Handle>(kHandleBase + fd); }
int ToFd(Handle h) { return static_cast<int>(reinterpret_cast<intptr_t>(h) - kHandleBase); }

// The registry values of Windows 10 22H2, as REG_SZ bytes with their NUL.
void PutText(RegistryReading& reading, const char16_t* text) {
    reading = RegistryReading{};
    uint32_t n = 0;
    for (const char16_t* p = text;; ++p) {
        reading.bytes[n++] = static_cast<uint8_t>(*p);
        reading.bytes[n++] = static_cast<uint8_t>(*p >> 8);
        if (!*p) break;
    }
    reading.byteCount = n;
    reading.readable = true;
}

bool SameText(const char16_t* a, const char16_t* b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

}  // namespace

std::string ToPosixPath(const char16_t* path) {
    std::string out;
    for (const char16_t* p = path; *p; ++p) {
        const uint32_t c = *p == u'\\' ? u'/' : *p;
        // Paths here are the benchmark's own; a plain BMP encoding will do.
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | c >> 12);
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// The benchmark's paths are ASCII, so bytes map to code units one to one.
std::u16string ToLauncherPath(const std::string& path) {
    std::u16string out;
    for (unsigned char c : path) out += c == '/' ? u'\\' : static_cast<char16_t>(c);
    return out;
}

PosixPlatform::PosixPlatform(const std::string& launcherPath, const std::string& tempFolder)
    : launcherPath_(ToLauncherPath(launcherPath)), tempFolder_(ToLauncherPath(tempFolder)) {
    commandLine_ = u"\"" + launcherPath_ + u"\"";
}

void PosixPlatform::ModuleFileName(StubString& path) {
    path.Clear();
    path.Append(launcherPath_.c_str());
}

const char16_t* PosixPlatform::CommandLine() { return commandLine_.c_str(); }

Handle PosixPlatform::OpenForReading(const char16_t* path) {
    const int fd = open(ToPosixPath(path).c_str(), O_RDONLY | O_CLOEXEC);
    return fd < 0 ? InvalidHandle() : ToHandle(fd);
}

Handle PosixPlatform::CreateForWriting(const char16_t* path) {
    copyPath = ToPosixPath(path);
    const int fd = open(copyPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0755);
    if (fd < 0) return InvalidHandle();
    copyCreated = Clock::now();
    writeFd_ = fd;
    return ToHandle(fd);
}

Handle PosixPlatform::HoldAgainstChanges(const char16_t* path) {
    copyHeld = Clock::now();
    const Handle held = OpenForReading(path);
    if (held != InvalidHandle()) heldFd_ = ToFd(held);
    return held;
}

void PosixPlatform::SeekTo(Handle file, uint32_t offset) { lseek(ToFd(file), static_cast<off_t>(offset), SEEK_SET); }

uint32_t PosixPlatform::ReadFrom(Handle file, void* destination, uint32_t count) {
    // ReadFile on a disk file delivers the whole count unless the file ends.
    uint8_t* p = static_cast<uint8_t*>(destination);
    uint32_t done = 0;
    while (done < count) {
        const ssize_t n = read(ToFd(file), p + done, count - done);
        if (n <= 0) break;
        done += static_cast<uint32_t>(n);
    }
    if (count == 74) headerRead = Clock::now();
    if (ToFd(file) == heldFd_) copyReadBack = Clock::now();
    return done;
}

uint32_t PosixPlatform::WriteTo(Handle file, const void* source, uint32_t count) {
    const uint8_t* p = static_cast<const uint8_t*>(source);
    uint32_t done = 0;
    while (done < count) {
        const ssize_t n = write(ToFd(file), p + done, count - done);
        if (n <= 0) break;
        done += static_cast<uint32_t>(n);
    }
    return done;
}

uint64_t PosixPlatform::FileSize(Handle file) {
    struct stat st {};
    return fstat(ToFd(file), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

void PosixPlatform::CloseHandle(Handle handle) {
    const int fd = ToFd(handle);
    close(fd);
    if (fd == writeFd_) {
        copyClosed = Clock::now();
        writeFd_ = -1;
    }
    if (fd == heldFd_) heldFd_ = -1;
}

void PosixPlatform::RemoveFile(const char16_t* path) {
    const std::string posix = ToPosixPath(path);
    if (posix == copyPath) {
        const int fd = open(posix.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            static uint8_t buffer[1 << 20];
            uint32_t crc = 0;
            ssize_t n;
            while ((n = read(fd, buffer, sizeof buffer)) > 0) {
                crc = Crc32Update(crc, buffer, static_cast<uint32_t>(n));
                copySize += static_cast<uint64_t>(n);
            }
            close(fd);
            copyCrc = crc;
            copySeen = true;
        }
    }
    unlink(posix.c_str());
}

bool PosixPlatform::Exists(const char16_t* path) {
    struct stat st {};
    return stat(ToPosixPath(path).c_str(), &st) == 0;
}

void PosixPlatform::TempPath(StubString& folder) {
    folder.Clear();
    folder.Append(tempFolder_.c_str());
}

bool PosixPlatform::CreateFolder(const char16_t* path, const char16_t*) {
    // The descriptor is Windows' business; the folder is private anyway.
    return mkdir(ToPosixPath(path).c_str(), 0700) == 0;
}

void PosixPlatform::RemoveFolder(const char16_t* path) { rmdir(ToPosixPath(path).c_str()); }

bool PosixPlatform::GetVersion(VersionRecord& version) {
    version = {10, 0, 2};
    return true;
}

bool PosixPlatform::GetServicePackMajor(uint32_t& servicePack) {
    servicePack = 0;
    return true;
}

bool PosixPlatform::OpenVersionKey() { return true; }

void PosixPlatform::ReadVersionValue(const char16_t* name, RegistryReading& reading) {
    reading = RegistryReading{};
    if (SameText(name, kValueCurrentBuild)) PutText(reading, u"19045");
    else if (SameText(name, kValueDisplayVersion)) PutText(reading, u"22H2");
    else if (SameText(name, kValueReleaseId)) PutText(reading, u"2009");
}

void PosixPlatform::CloseVersionKey() {}
bool PosixPlatform::IsRunningUnderWow64() { return true; }
bool PosixPlatform::IsAdministrator() { return true; }
bool PosixPlatform::UniversalName(const char16_t*, StubString&) { return false; }

bool PosixPlatform::UserSid(StubString& sid) {
    sid.Clear();
    sid.Append(u"S-1-5-21-1-2-3-1001");
    return true;
}

bool PosixPlatform::RandomBytes(void* buffer, uint32_t count) {
    return getentropy(buffer, count) == 0;
}

bool PosixPlatform::HasVisibleWindowStation() { return true; }

StartResult PosixPlatform::StartProcess(char16_t*, const char16_t*) {
    StartResult result;
    result.started = true;  // nothing runs; no process to wait for
    return result;
}

StartResult PosixPlatform::ShellStart(const char16_t*, const char16_t*, const char16_t*, bool) {
    StartResult result;
    result.started = true;
    return result;
}

void PosixPlatform::WaitFor(Handle) {}
uint32_t PosixPlatform::ExitCodeOf(Handle) { return 0; }

void PosixPlatform::ShowMessage(const char16_t* text, const char16_t* caption, uint32_t) {
    std::fprintf(stderr, "bench: the launcher says (%s): %s\n", ToPosixPath(caption).c_str(),
                 ToPosixPath(text).c_str());
}

void PosixPlatform::Exit(uint32_t exitCode) { _exit(static_cast<int>(exitCode)); }
