// HostFiles on Windows: the W functions with UTF-16 paths made from the
// UTF-8 ones, mapped views for inputs, an output that is renamed into place
// with MoveFileExW, console control events instead of signals, and
// standard streams that show UTF-8 right in a console and pass it unchanged
// to a pipe or file.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cwchar>
#include <iostream>
#include <mutex>
#include <new>
#include <streambuf>
#include <vector>

#include "Concurrency.h"
#include "HostFiles.h"
#include "HostFilesShared.h"
#include "Options.h"

namespace {

thread_local DWORD g_lastError = 0;

std::wstring Wide(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

std::string Narrow(const wchar_t* wide, size_t length) {
    if (length == 0) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), utf8.data(), n, nullptr, nullptr);
    return utf8;
}

// Remembers the error of the call that just failed, for LastSystemError.
void NoteError() { g_lastError = GetLastError(); }

std::optional<FileId> IdOf(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info)) return std::nullopt;
    return FileId{info.dwVolumeSerialNumber, static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow};
}

// A handle, closed when it goes.
class OwnedHandle {
public:
    explicit OwnedHandle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
    ~OwnedHandle() { Reset(); }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    void Reset(HANDLE handle = INVALID_HANDLE_VALUE) {
        if (valid()) CloseHandle(handle_);
        handle_ = handle;
    }
    // Hands the handle over without closing it.
    HANDLE Release() {
        const HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return handle;
    }
    // Closes it and says whether that went well.
    bool Close() {
        const HANDLE handle = Release();
        return handle == INVALID_HANDLE_VALUE || handle == nullptr || CloseHandle(handle);
    }

private:
    HANDLE handle_;
};

// The temporary file being written, for the console control handler, which
// runs on a thread of its own: its name, and its handle while it is open.
wchar_t g_pendingTemporary[32768];
std::atomic<bool> g_havePendingTemporary{false};
std::atomic<HANDLE> g_pendingHandle{INVALID_HANDLE_VALUE};

// Removes the half-written file.  While it is open (without delete sharing)
// it cannot be deleted by name; it is marked through its handle instead and
// goes when the process ends.
void RemovePendingTemporary() {
    if (g_havePendingTemporary.exchange(false)) {
        const HANDLE open = g_pendingHandle.load();
        FILE_DISPOSITION_INFO dispose{TRUE};
        if (open == INVALID_HANDLE_VALUE ||
            !SetFileInformationByHandle(open, FileDispositionInfo, &dispose, sizeof dispose))
            DeleteFileW(g_pendingTemporary);
    }
}

// Scratch files and running sign commands, for the same handlers: fixed
// slots, filled and emptied under a mutex.
constexpr int kScratchSlots = 8;
wchar_t g_scratch[kScratchSlots][MAX_PATH * 4];
std::atomic<bool> g_scratchUsed[kScratchSlots];
// Each sign command runs in a job of its own, so that ending it ends what
// cmd.exe started too (the signer, and whatever the signer started): a
// process of its own would outlive a cmd.exe that is ended.
constexpr int kChildSlots = 4;
std::atomic<HANDLE> g_jobs[kChildSlots], g_children[kChildSlots];
Mutex g_slots;
// Set when a control event ends the build.  Its handler runs on a thread
// of its own while the others go on: one whose sign command was ended, or
// that makes a scratch file after the handler removed them, waits for the
// end instead of reporting a failure or leaving a file.
std::atomic<bool> g_interrupted{false};

[[noreturn]] void AwaitTheEnd() {
    for (;;) Sleep(INFINITE);
}

void RemoveEverythingPending() {
    for (auto& job : g_jobs)
        if (const HANDLE j = job.load()) TerminateJobObject(j, 0xC000013A);
    for (auto& child : g_children)
        if (const HANDLE process = child.load()) TerminateProcess(process, 0xC000013A);
    for (int i = 0; i < kScratchSlots; ++i)
        if (g_scratchUsed[i].exchange(false)) DeleteFileW(g_scratch[i]);
    RemovePendingTemporary();
}

BOOL WINAPI EndOnControlEvent(DWORD) {
    // Ctrl+C, Ctrl+Break, a closed console, logoff, shutdown.  (A Ctrl+C
    // the caller set to be ignored never reaches a handler: Windows keeps
    // it ignored.)
    g_interrupted = true;
    {
        const std::lock_guard<Mutex> lock(g_slots);
        RemoveEverythingPending();
    }
    // The code Windows' own handling ends with; ended here so that no
    // system reports an interrupted build as a success.
    ExitProcess(0xC000013A /* STATUS_CONTROL_C_EXIT */);
}

// A fault reading a mapped input: the file shrank under the view (a process
// without Windows' sharing rules truncated it, or a network file went
// away).  Windows reports an in-page error, Wine an access violation; a
// read-only view has no other way to fault.  The process ends with the
// file's name and exit code 1.
LONG WINAPI EndOnShrunkInput(EXCEPTION_POINTERS* e) {
    const EXCEPTION_RECORD* r = e->ExceptionRecord;
    if ((r->ExceptionCode != EXCEPTION_IN_PAGE_ERROR && r->ExceptionCode != EXCEPTION_ACCESS_VIOLATION) ||
        r->NumberParameters < 2)
        return EXCEPTION_CONTINUE_SEARCH;
    size_t length = 0;
    const char* message = MappedInputs::MessageFor(reinterpret_cast<const void*>(r->ExceptionInformation[1]), length);
    if (!message) return EXCEPTION_CONTINUE_SEARCH;
    RemoveEverythingPending();
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), message, static_cast<DWORD>(length), &written, nullptr);
    ExitProcess(kExitFailure);
}

void CatchShrunkInputs() {
    static bool installed = false;
    if (!installed) installed = AddVectoredExceptionHandler(1, EndOnShrunkInput) != nullptr;
}

class MappedFile final : public MappedInput {
public:
    MappedFile(std::string path, std::string name, HANDLE file, const BY_HANDLE_FILE_INFORMATION& info,
               HANDLE mapping, const uint8_t* data, uint64_t size)
        : MappedInput(std::move(path), std::move(name), data, size), file_(file), mapping_(mapping), info_(info) {}
    ~MappedFile() override { UnmapViewOfFile(data_); }
    void CheckUnchanged() const override {
        BY_HANDLE_FILE_INFORMATION now{};
        if (!GetFileInformationByHandle(file_.get(), &now) || now.nFileSizeHigh != info_.nFileSizeHigh ||
            now.nFileSizeLow != info_.nFileSizeLow ||
            CompareFileTime(&now.ftLastWriteTime, &info_.ftLastWriteTime) != 0)
            Changed();
    }

private:
    OwnedHandle file_;  // kept open to ask whether the file changed
    OwnedHandle mapping_;
    BY_HANDLE_FILE_INFORMATION info_;
};

std::wstring TemporaryFolder() {
    wchar_t folder[MAX_PATH + 2];
    const DWORD n = GetTempPathW(MAX_PATH + 1, folder);
    return n > 0 && n <= MAX_PATH + 1 ? std::wstring(folder, n) : std::wstring(L".\\");
}

// A new file in folder, named mkpackage-XXXXXXXX.tmp: short, so that any
// name the file system takes for OUT leaves room for it.
HANDLE CreateTemporary(const std::string& folder, DWORD access, DWORD flags, std::string& path) {
    HANDLE file = INVALID_HANDLE_VALUE;
    for (unsigned attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
        LARGE_INTEGER counter;
        QueryPerformanceCounter(&counter);
        const unsigned value =
            static_cast<unsigned>(counter.QuadPart) ^ (GetCurrentProcessId() << 16) ^ (attempt * 2654435761u);
        char name[32];
        std::snprintf(name, sizeof name, "mkpackage-%08x.tmp", value);
        const bool separated = !folder.empty() && (folder.back() == '\\' || folder.back() == '/');
        path = folder + (separated ? "" : "\\") + name;
        file = CreateFileW(Wide(path).c_str(), access, FILE_SHARE_READ, nullptr, CREATE_NEW, flags, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            NoteError();
            if (g_lastError != ERROR_FILE_EXISTS && g_lastError != ERROR_ALREADY_EXISTS) break;
        }
    }
    return file;
}

// Opens path for reading; "-" is standard input.
HANDLE OpenForReading(const std::string& path) {
    if (path == "-") {
        HANDLE copy = INVALID_HANDLE_VALUE;
        if (!DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_INPUT_HANDLE), GetCurrentProcess(), &copy, 0,
                             FALSE, DUPLICATE_SAME_ACCESS))
            return INVALID_HANDLE_VALUE;
        return copy;
    }
    return CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// A file on disk with bytes in it, not read from already (standard input
// may have been), is mapped.  One that claims to be empty may be a FIFO or
// device seen through a file system that cannot say so: it is read.
bool Mappable(HANDLE file, BY_HANDLE_FILE_INFORMATION& info, const std::string& name) {
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info)) return false;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) throw Failure(name + " is a folder, not a file");
    LARGE_INTEGER at{}, zero{};
    if (!SetFilePointerEx(file, zero, &at, FILE_CURRENT) || at.QuadPart != 0) return false;
    return (static_cast<uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow) > 0;
}

uint64_t SizeOf(const BY_HANDLE_FILE_INFORMATION& info) {
    return static_cast<uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
}

std::shared_ptr<MappedFile> Map(const std::string& path, const std::string& name, OwnedHandle& file,
                                const BY_HANDLE_FILE_INFORMATION& info, uint64_t size) {
    OwnedHandle mapping(CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    const void* data = mapping.valid() ? MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(size))
                                       : nullptr;
    if (!data) {
        NoteError();
        throw Failure(name + ": cannot map " + SizeText(size) + " into memory: " + LastSystemError());
    }
    CatchShrunkInputs();
    std::shared_ptr<MappedFile> mapped;
    try {
        mapped = std::make_shared<MappedFile>(path, name, file.get(), info, mapping.get(),
                                              static_cast<const uint8_t*>(data), size);
    } catch (...) {
        UnmapViewOfFile(data);
        throw;
    }
    file.Release();  // the mapped file holds both now
    mapping.Release();
    return mapped;
}

size_t ReadSome(HANDLE file, const std::string& name, uint8_t* buffer, size_t capacity) {
    DWORD n = 0;
    if (::ReadFile(file, buffer, static_cast<DWORD>(std::min<size_t>(capacity, 1u << 30)), &n, nullptr))
        return static_cast<size_t>(n);
    NoteError();
    if (g_lastError == ERROR_BROKEN_PIPE || g_lastError == ERROR_HANDLE_EOF) return 0;
    throw Failure(name + ": cannot read: " + LastSystemError());
}

void WriteAll(HANDLE file, const uint8_t* p, size_t size, const std::string& name) {
    for (size_t done = 0; done < size;) {
        const DWORD want = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
        DWORD n = 0;
        if (!::WriteFile(file, p + done, want, &n, nullptr) || n == 0) {
            NoteError();
            throw Failure("cannot write " + name + ": " + LastSystemError());
        }
        done += n;
    }
}

// std::cout and std::cerr on a console: UTF-8 turned into UTF-16 for
// WriteConsoleW, so that every character shows whatever the console's code
// page.  On a pipe or file the bytes go out as they are.
class ConsoleBuffer final : public std::streambuf {
public:
    explicit ConsoleBuffer(HANDLE console) : console_(console) { setp(buffer_, buffer_ + sizeof buffer_); }

protected:
    int_type overflow(int_type c) override {
        if (sync() != 0) return traits_type::eof();
        if (c != traits_type::eof()) {
            *pptr() = static_cast<char>(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }
    int sync() override {
        std::string text = pending_ + std::string(pbase(), pptr());
        setp(buffer_, buffer_ + sizeof buffer_);
        // A character split between two flushes waits for its rest.
        size_t complete = text.size();
        for (size_t back = 1; back <= 3 && back <= text.size(); ++back) {
            const unsigned char c = static_cast<unsigned char>(text[text.size() - back]);
            if ((c & 0xC0) == 0x80) continue;
            const size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
            if (need > back) complete = text.size() - back;
            break;
        }
        pending_ = text.substr(complete);
        const std::wstring wide = Wide(text.substr(0, complete));
        DWORD written = 0;
        return wide.empty() || WriteConsoleW(console_, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr)
                   ? 0
                   : -1;
    }

private:
    HANDLE console_;
    char buffer_[4096];
    std::string pending_;
};

bool IsConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_CHAR && GetConsoleMode(handle, &mode);
}

}  // namespace

std::string LastSystemError() {
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, g_lastError, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = n ? Narrow(text, n) : "error " + std::to_string(g_lastError);
    if (text) LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ' ||
                                message.back() == '.'))
        message.pop_back();
    return message;
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos) return ".";
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

std::optional<FileId> IdentifyFile(const std::string& path) {
    if (path == "-") return std::nullopt;
    // FILE_FLAG_BACKUP_SEMANTICS opens folders too; no access is needed to
    // read a file's identity.
    const OwnedHandle file(CreateFileW(Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file.valid() || GetFileType(file.get()) != FILE_TYPE_DISK || !GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return std::nullopt;
    return IdOf(file.get());
}

std::shared_ptr<const InputFile> InputFile::Open(const std::string& path, const std::string& label,
                                                 uint64_t maxSize, const std::string& tooLarge) {
    const std::string name = label.empty() ? path : label;
    OwnedHandle file(OpenForReading(path));
    if (!file.valid()) {
        NoteError();
        throw Failure(name + ": cannot open: " + LastSystemError());
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (Mappable(file.get(), info, name)) {
        const uint64_t size = SizeOf(info);
        if (size > maxSize) throw Failure(TooLargeText(name, size, false, maxSize, tooLarge));
        return Map(path, name, file, info, size);
    }
    // A pipe or a device: read until it ends.
    std::vector<uint8_t> bytes = ReadToEnd(name, maxSize, tooLarge, [&](uint8_t* buffer, size_t capacity) {
        return ReadSome(file.get(), name, buffer, capacity);
    });
    return std::make_shared<StreamedFile>(path, std::move(bytes));
}

std::shared_ptr<const InputFile> InputFile::OpenBounded(const std::string& path, const StreamBound& bound) {
    OwnedHandle file(OpenForReading(path));
    if (!file.valid()) {
        NoteError();
        throw Failure(path + ": cannot open: " + LastSystemError());
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (Mappable(file.get(), info, path)) return Map(path, path, file, info, SizeOf(info));
    // A stream: what is kept goes to a temporary file, gone as soon as it is
    // closed, and is mapped from there.
    const std::string folder = Narrow(TemporaryFolder().c_str(), TemporaryFolder().size());
    std::string spoolPath;
    OwnedHandle spool(CreateTemporary(folder, GENERIC_READ | GENERIC_WRITE,
                                      FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, spoolPath));
    if (!spool.valid())
        throw Failure(path + ": cannot create a file in " + folder + " to read it into: " + LastSystemError());
    const Spooled kept = Spool(
        bound, [&](uint8_t* buffer, size_t size) { return ReadSome(file.get(), path, buffer, size); },
        [&](const uint8_t* data, size_t size) { WriteAll(spool.get(), data, size, spoolPath); });
    if (kept.size == 0) return std::make_shared<StreamedFile>(path, std::vector<uint8_t>());
    BY_HANDLE_FILE_INFORMATION spooled{};
    GetFileInformationByHandle(spool.get(), &spooled);
    const std::shared_ptr<MappedFile> mapped = Map(path, path, spool, spooled, kept.size);
    mapped->SetCut(kept.cut);
    return mapped;
}

struct OutputFile::Impl {
    OwnedHandle file;           // the temporary file
    bool through = false;       // OUT is written into, not replaced
    bool standardOutput = false;
    std::string target;         // what is replaced or written into
};

namespace {

// Whether path names the console (CON, CONOUT$), which opens only when
// asked for reading or writing.
bool IsConsoleName(const std::string& path) {
    const std::string name = Lower(path.substr(path.find_last_of("\\/:") == std::string::npos ? 0 : path.find_last_of("\\/:") + 1));
    return name == "con" || name == "conout$" || name == "conin$";
}

// The path of the file an open handle is, links followed.
std::string FinalPath(HANDLE file, const std::string& otherwise) {
    std::wstring path(32768, L'\0');
    const DWORD n = GetFinalPathNameByHandleW(file, path.data(), static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED);
    return n > 0 && n < path.size() ? Narrow(path.data(), n) : otherwise;
}

}  // namespace

OutputFile::OutputFile(const std::string& path) : impl_(new Impl), path_(path) {
    Impl& o = *impl_;
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (path == "-") {
        o.through = o.standardOutput = true;
    } else {
        const OwnedHandle existing(CreateFileW(Wide(path).c_str(), 0,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        BY_HANDLE_FILE_INFORMATION info{};
        if (existing.valid() && GetFileType(existing.get()) == FILE_TYPE_DISK &&
            GetFileInformationByHandle(existing.get(), &info)) {
            if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                throw Failure(path + " is a folder; name the file to write (" + path + "\\MySetup.exe, say)");
            const std::optional<FileId> id = IdOf(existing.get());
            BY_HANDLE_FILE_INFORMATION outInfo{};
            o.standardOutput = out != INVALID_HANDLE_VALUE && out != nullptr && GetFileType(out) == FILE_TYPE_DISK &&
                               GetFileInformationByHandle(out, &outInfo) && IdOf(out) == id;
            o.through = o.standardOutput;
            // Followed: the link stays, the file it points to is replaced.
            o.target = FinalPath(existing.get(), path);
        } else if (existing.valid() || IsConsoleName(path)) {
            // A device (NUL, a serial port) or a pipe: written into.  Only a
            // device can be a console; a pipe is not opened before Commit,
            // since its reader takes each open and close for a writer's.
            o.through = true;
            o.target = path;
            if (!existing.valid() || GetFileType(existing.get()) == FILE_TYPE_CHAR) {
                const OwnedHandle device(CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                                     nullptr));
                if (IsConsole(device.get()))
                    throw Failure(path + " is a console; a package is no text: name a file, or redirect the output");
            }
        } else if (!path.empty() && (path.back() == '\\' || path.back() == '/')) {
            throw Failure(path + " ends in '" + path.back() + "': name the file to write, not a folder");
        } else if (const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
                   attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            throw Failure(path + " is a symbolic link that points nowhere; name the file to write");
        } else {
            o.target = path;
        }
    }
    if (o.standardOutput && IsConsole(out))
        throw Failure(std::string(path == "-" ? "standard output" : path) +
                      " is a console; a package is no text: redirect it (> MySetup.exe) or name a file");

    const std::string folder = o.through ? Narrow(TemporaryFolder().c_str(), TemporaryFolder().size()) : FolderOf(o.target);
    // Made and noted under the handlers' lock, so that an interruption
    // finds it however soon it comes.  DELETE access lets one mark it for
    // deletion through this handle.
    const std::lock_guard<Mutex> lock(g_slots);
    if (g_interrupted) AwaitTheEnd();
    o.file.Reset(CreateTemporary(folder, GENERIC_WRITE | DELETE, FILE_ATTRIBUTE_NORMAL, temporary_));
    if (!o.file.valid()) throw Failure("cannot create a file in " + folder + ": " + LastSystemError());
    const std::wstring wide = Wide(temporary_);
    if (wide.size() < sizeof g_pendingTemporary / sizeof g_pendingTemporary[0]) {
        wcscpy(g_pendingTemporary, wide.c_str());
        g_pendingHandle = o.file.get();
        g_havePendingTemporary = true;
    }
}

OutputFile::~OutputFile() {
    g_havePendingTemporary = false;
    g_pendingHandle = INVALID_HANDLE_VALUE;
    impl_->file.Reset();
    if (!committed_) DeleteFileW(Wide(temporary_).c_str());
}

bool OutputFile::IsStandardOutput() const { return impl_->standardOutput; }

void OutputFile::Write(const void* data, size_t size) {
    WriteAll(impl_->file.get(), static_cast<const uint8_t*>(data), size, temporary_);
}

void OutputFile::Finish() {
    if (!impl_->file.valid()) return;
    // A file copied into a device or pipe need not last.
    if (!impl_->through && !FlushFileBuffers(impl_->file.get())) {
        NoteError();
        throw Failure("cannot flush " + temporary_ + ": " + LastSystemError());
    }
    g_pendingHandle = INVALID_HANDLE_VALUE;  // from now on it goes by name
    if (!impl_->file.Close()) {
        NoteError();
        throw Failure("cannot close " + temporary_ + ": " + LastSystemError());
    }
}

void OutputFile::ReplaceTemporaryWith(const std::string& path) {
    if (path != temporary_ &&
        !MoveFileExW(Wide(path).c_str(), Wide(temporary_).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        NoteError();
        throw Failure("cannot rename " + path + " to " + temporary_ + ": " + LastSystemError());
    }
}

void OutputFile::Commit() {
    Finish();
    Impl& o = *impl_;
    if (!o.through) {
        // Replaces an earlier file in one step; WRITE_THROUGH returns only
        // once the rename is on disk.
        if (!MoveFileExW(Wide(temporary_).c_str(), Wide(o.target).c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            NoteError();
            throw Failure("cannot rename the finished file to " + path_ + ": " + LastSystemError());
        }
        committed_ = true;
        return;
    }
    // Into the device, pipe or standard output, which stays what it is.
    const std::string name = o.standardOutput ? std::string("standard output") : path_;
    const OwnedHandle in(CreateFileW(Wide(temporary_).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!in.valid()) {
        NoteError();
        throw Failure("cannot read " + temporary_ + " back: " + LastSystemError());
    }
    OwnedHandle opened;
    if (!o.standardOutput)
        opened.Reset(CreateFileW(Wide(o.target).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
    const HANDLE dest = o.standardOutput ? GetStdHandle(STD_OUTPUT_HANDLE) : opened.get();
    if (dest == INVALID_HANDLE_VALUE || dest == nullptr) {
        NoteError();
        throw Failure("cannot open " + name + ": " + LastSystemError());
    }
    std::vector<uint8_t> buffer(1 << 20);
    for (;;) {
        const size_t n = ReadSome(in.get(), temporary_, buffer.data(), buffer.size());
        if (n == 0) break;
        WriteAll(dest, buffer.data(), n, name);
    }
    if (!opened.Close()) {
        NoteError();
        throw Failure("cannot write " + name + ": " + LastSystemError());
    }
    DeleteFileW(Wide(temporary_).c_str());
    committed_ = true;
}

bool IsTerminal(StandardStream stream) {
    const DWORD which = stream == StandardStream::kInput ? STD_INPUT_HANDLE
                        : stream == StandardStream::kOutput ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE;
    return IsConsole(GetStdHandle(which));
}

void HandleInterruptions() { SetConsoleCtrlHandler(EndOnControlEvent, TRUE); }

void PrepareStandardStreams() {
    static ConsoleBuffer* out = nullptr;
    static ConsoleBuffer* err = nullptr;
    const HANDLE outHandle = GetStdHandle(STD_OUTPUT_HANDLE), errHandle = GetStdHandle(STD_ERROR_HANDLE);
    if (IsConsole(outHandle)) std::cout.rdbuf(out = new ConsoleBuffer(outHandle));
    if (IsConsole(errHandle)) std::cerr.rdbuf(err = new ConsoleBuffer(errHandle));
}

std::vector<std::string> Utf8Arguments(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(Narrow(argv[i], std::wcslen(argv[i])));
    return args;
}

ScratchFile::ScratchFile(const std::string& folder) {
    // Made and noted under the handlers' lock: an interruption between the
    // two would leave the file behind.
    const std::lock_guard<Mutex> lock(g_slots);
    if (g_interrupted) AwaitTheEnd();
    const OwnedHandle file(CreateTemporary(folder, GENERIC_WRITE, FILE_ATTRIBUTE_NORMAL, path_));
    if (!file.valid()) throw Failure("cannot create a file in " + folder + ": " + LastSystemError());
    const std::wstring wide = Wide(path_);
    for (int i = 0; i < kScratchSlots; ++i)
        if (!g_scratchUsed[i] && wide.size() < sizeof g_scratch[i] / sizeof g_scratch[i][0]) {
            wcscpy(g_scratch[i], wide.c_str());
            g_scratchUsed[i] = true;
            slot_ = i;
            break;
        }
}

ScratchFile::~ScratchFile() {
    Forget();
    if (!released_) DeleteFileW(Wide(path_).c_str());
}

void ScratchFile::Forget() {
    const std::lock_guard<Mutex> lock(g_slots);
    if (slot_ >= 0) g_scratchUsed[slot_] = false;
    slot_ = -1;
}

void ScratchFile::Vacate() { DeleteFileW(Wide(path_).c_str()); }

bool PathExists(const std::string& path) { return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

bool IsRegularFile(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE));
}

std::optional<std::string> EnvironmentVariable(const std::string& name) {
    const std::wstring wide = Wide(name);
    const DWORD n = GetEnvironmentVariableW(wide.c_str(), nullptr, 0);
    if (n == 0) return GetLastError() == ERROR_ENVVAR_NOT_FOUND ? std::nullopt : std::optional<std::string>("");
    std::wstring value(n, L'\0');
    const DWORD got = GetEnvironmentVariableW(wide.c_str(), value.data(), n);
    return Narrow(value.c_str(), got);
}

void WriteWholeFile(const std::string& path, const uint8_t* data, uint64_t size) {
    OwnedHandle file(CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING, 0, nullptr));
    if (!file.valid()) {
        NoteError();
        throw Failure("cannot open " + path + ": " + LastSystemError());
    }
    for (uint64_t done = 0; done < size;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(size - done, 1u << 30));
        WriteAll(file.get(), data + done, n, path);
        done += n;
    }
    if (!file.Close()) {
        NoteError();
        throw Failure("cannot write " + path + ": " + LastSystemError());
    }
}

std::string ShellWord(const std::string& name, const std::string&) {
    // cmd.exe expands %NAME% once, before it parses the line, and does not
    // expand what the value holds: inside the quotes the value stays one
    // word whatever it contains (spaces, &, ^, %, !).
    return "\"%" + name + "%\"";
}

namespace {

// The environment block of this process with variables set in it.
std::wstring EnvironmentWith(const std::vector<std::pair<std::string, std::string>>& variables) {
    std::wstring block;
    wchar_t* own = GetEnvironmentStringsW();
    for (const wchar_t* e = own; e && *e; e += std::wcslen(e) + 1) {
        const std::wstring entry = e;
        const bool replaced = std::any_of(variables.begin(), variables.end(), [&](const auto& v) {
            const std::wstring name = Wide(v.first) + L"=";
            return entry.size() >= name.size() && _wcsnicmp(entry.c_str(), name.c_str(), name.size()) == 0;
        });
        if (!replaced) block += entry + L'\0';
    }
    if (own) FreeEnvironmentStringsW(own);
    for (const auto& [name, value] : variables) block += Wide(name) + L"=" + Wide(value) + L'\0';
    block += L'\0';
    return block;
}

// Processes are started one at a time: an inheritable pipe end made for one
// must not leak into another started at the same moment, or its reader
// would wait for both to end.
Mutex g_starting;

}  // namespace

ShellResult RunShellCommand(const std::string& command,
                            const std::vector<std::pair<std::string, std::string>>& variables) {
    wchar_t system[MAX_PATH + 1];
    const UINT n = GetSystemDirectoryW(system, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) throw Failure("cannot run the sign command: no system folder");
    // cmd.exe by full path, never one found in the current folder.
    const std::wstring cmd = std::wstring(system, n) + L"\\cmd.exe";
    // /s: the quotes around the command are taken off and the rest is run
    // as it stands; /d: no AutoRun commands from the registry; /v:off: a
    // path with "!" stays whole where the registry turns delayed expansion
    // on for every cmd.exe.
    std::wstring line = L"\"" + cmd + L"\" /d /v:off /s /c \"" + Wide(command) + L"\"";
    std::wstring environment = EnvironmentWith(variables);

    HANDLE readEnd = nullptr, writeEnd = nullptr;
    PROCESS_INFORMATION process{};
    {
        const std::lock_guard<Mutex> lock(g_starting);
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
            NoteError();
            throw Failure("cannot run the sign command: " + LastSystemError());
        }
        SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
        HANDLE nul = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                                 nullptr);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nul;
        startup.hStdOutput = writeEnd;
        startup.hStdError = writeEnd;
        const BOOL started =
            CreateProcessW(cmd.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED,
                           environment.data(), nullptr, &startup, &process);
        if (!started) NoteError();
        CloseHandle(writeEnd);
        if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
        if (!started) {
            CloseHandle(readEnd);
            throw Failure("cannot run the sign command with " + Narrow(cmd.c_str(), cmd.size()) + ": " +
                          LastSystemError());
        }
    }
    const OwnedHandle output(readEnd), child(process.hProcess), thread(process.hThread);
    // The job is ended on an interruption only, as the process group is on
    // Linux: what the command leaves running when it ends well (an agent)
    // may be meant to.  A program that asks to leave the job may.  Where no
    // job can be made or joined, the command runs without one, and only
    // cmd.exe is ended.
    const OwnedHandle job(CreateJobObjectW(nullptr, nullptr));
    bool inJob = false;
    if (job.valid()) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
        SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);
        inJob = AssignProcessToJobObject(job.get(), child.get());
    }
    int slot = -1;
    {
        const std::lock_guard<Mutex> lock(g_slots);
        if (g_interrupted) {
            TerminateProcess(child.get(), 0xC000013A);
            AwaitTheEnd();
        }
        for (int i = 0; i < kChildSlots && slot < 0; ++i)
            if (!g_children[i].load()) {
                g_children[slot = i] = child.get();
                if (inJob) g_jobs[i] = job.get();
            }
    }
    ResumeThread(thread.get());
    // Read until the pipe ends, or until cmd.exe has ended and nothing
    // more is there: a signer may leave a process behind (an agent that
    // keeps a key open) that holds the pipe for as long as it runs.
    ShellResult result;
    OutputTail said;
    char buffer[4096];
    bool ended = false;
    for (;;) {
        DWORD available = 0, got = 0;
        if (!PeekNamedPipe(output.get(), nullptr, 0, nullptr, &available, nullptr)) break;  // every writer gone
        if (available > 0) {
            if (!::ReadFile(output.get(), buffer, std::min<DWORD>(available, sizeof buffer), &got, nullptr) || got == 0)
                break;
            said.Append(buffer, got);
            continue;
        }
        if (ended) break;
        ended = WaitForSingleObject(child.get(), 50) == WAIT_OBJECT_0;
    }
    result.output = said.Take();
    WaitForSingleObject(child.get(), INFINITE);
    if (g_interrupted) AwaitTheEnd();
    DWORD code = 0;
    if (GetExitCodeProcess(child.get(), &code)) result.exitCode = static_cast<int>(code);
    {
        const std::lock_guard<Mutex> lock(g_slots);
        if (slot >= 0) g_children[slot] = g_jobs[slot] = nullptr;
    }
    return result;
}

static_assert(sizeof(SRWLOCK) <= 64, "Mutex storage too small for an SRWLOCK");

Mutex::Mutex() { InitializeSRWLock(reinterpret_cast<SRWLOCK*>(storage_)); }
Mutex::~Mutex() = default;
void Mutex::lock() { AcquireSRWLockExclusive(reinterpret_cast<SRWLOCK*>(storage_)); }
void Mutex::unlock() { ReleaseSRWLockExclusive(reinterpret_cast<SRWLOCK*>(storage_)); }

namespace {

DWORD WINAPI RunTask(void* task) {
    (*static_cast<const std::function<void()>*>(task))();
    return 0;
}

}  // namespace

uint64_t MemoryForThisProcess() {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status)) return 0;
    return std::min<uint64_t>(status.ullTotalPhys, status.ullTotalVirtual);
}

void RunSideBySide(const std::vector<std::function<void()>>& tasks) {
    std::vector<HANDLE> threads;
    for (size_t i = 1; i < tasks.size(); ++i) {
        HANDLE t = CreateThread(nullptr, 0, RunTask, const_cast<std::function<void()>*>(&tasks[i]), 0, nullptr);
        // Without a thread of its own, a task runs here, after the others.
        if (t) threads.push_back(t);
        else tasks[i]();
    }
    if (!tasks.empty()) tasks[0]();
    for (HANDLE t : threads) {
        WaitForSingleObject(t, INFINITE);
        CloseHandle(t);
    }
}
