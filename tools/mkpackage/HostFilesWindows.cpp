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
#include <streambuf>
#include <vector>

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

std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos) return ".";
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

std::optional<FileId> IdOf(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info)) return std::nullopt;
    return FileId{info.dwVolumeSerialNumber, static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow};
}

// A handle, closed when it goes.
class OwnedHandle {
public:
    explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
    ~OwnedHandle() {
        if (handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr) CloseHandle(handle_);
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

class MappedFile final : public InputFile {
public:
    MappedFile(std::string path, HANDLE mapping, const uint8_t* data, uint64_t size) : mapping_(mapping) {
        path_ = std::move(path);
        data_ = data;
        size_ = size;
    }
    ~MappedFile() override {
        UnmapViewOfFile(data_);
        CloseHandle(mapping_);
    }

private:
    HANDLE mapping_;
};


// The temporary file being written, for the console control handler, which
// runs on a thread of its own: its name, and its handle while it is open.
wchar_t g_pendingTemporary[32768];
std::atomic<bool> g_havePendingTemporary{false};
std::atomic<HANDLE> g_pendingHandle{INVALID_HANDLE_VALUE};

BOOL WINAPI EndOnControlEvent(DWORD) {
    // Ctrl+C, Ctrl+Break, a closed console, logoff, shutdown: the half-
    // written file goes first.  While it is open (without delete sharing)
    // it cannot be deleted by name; it is marked through its handle instead
    // and goes when the process ends.
    if (g_havePendingTemporary.exchange(false)) {
        const HANDLE open = g_pendingHandle.load();
        FILE_DISPOSITION_INFO dispose{TRUE};
        if (open == INVALID_HANDLE_VALUE ||
            !SetFileInformationByHandle(open, FileDispositionInfo, &dispose, sizeof dispose))
            DeleteFileW(g_pendingTemporary);
    }
    // The code Windows' own handling ends with; ended here so that no
    // system reports an interrupted build as a success.
    ExitProcess(0xC000013A /* STATUS_CONTROL_C_EXIT */);
}

// A name no other file in the folder has: path + ".tmp-" + 8 hex digits.
std::string TemporaryNameFor(const std::string& path, unsigned attempt) {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    const unsigned value = static_cast<unsigned>(counter.QuadPart) ^ (GetCurrentProcessId() << 16) ^ (attempt * 2654435761u);
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".tmp-%08x", value);
    return path + suffix;
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

std::optional<FileId> IdentifyFile(const std::string& path) {
    // FILE_FLAG_BACKUP_SEMANTICS opens folders too; no access is needed to
    // read a file's identity.
    const OwnedHandle file(CreateFileW(Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) return std::nullopt;
    return IdOf(file.get());
}

std::shared_ptr<const InputFile> InputFile::Open(const std::string& path, const std::string& label,
                                                 uint64_t maxSize, const std::string& tooLarge) {
    const std::string name = label.empty() ? path : label;
    const OwnedHandle file(CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        NoteError();
        throw Failure(name + ": cannot open: " + LastSystemError());
    }
    BY_HANDLE_FILE_INFORMATION info{};
    const bool disk = GetFileType(file.get()) == FILE_TYPE_DISK && GetFileInformationByHandle(file.get(), &info);
    if (disk && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) throw Failure(name + " is a folder, not a file");
    // A file on disk is mapped (the mapping keeps the file when the handle
    // closes).  One that claims to be empty may be a FIFO or device seen
    // through a file system that cannot say so: it is read.
    const uint64_t size = disk ? static_cast<uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow : 0;
    if (size > 0) {
        if (size > maxSize) throw Failure(TooLargeText(name, size, false, maxSize, tooLarge));
        const HANDLE mapping = CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr);
        const void* data = mapping ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
        if (!data) {
            NoteError();
            if (mapping) CloseHandle(mapping);
            throw Failure(name + ": cannot map " + SizeText(size) + " into memory: " + LastSystemError());
        }
        return std::make_shared<MappedFile>(path, mapping, static_cast<const uint8_t*>(data), size);
    }
    // A pipe or a device: read until it ends.
    std::vector<uint8_t> bytes = ReadToEnd(name, maxSize, tooLarge, [&](uint8_t* buffer, size_t capacity) {
        DWORD n = 0;
        if (::ReadFile(file.get(), buffer, static_cast<DWORD>(capacity), &n, nullptr)) return static_cast<size_t>(n);
        NoteError();
        if (g_lastError == ERROR_BROKEN_PIPE || g_lastError == ERROR_HANDLE_EOF) return size_t{0};
        throw Failure(name + ": cannot read: " + LastSystemError());
    });
    return std::make_shared<StreamedFile>(path, std::move(bytes));
}

struct OutputFile::Impl {
    HANDLE file = INVALID_HANDLE_VALUE;
};

OutputFile::OutputFile(const std::string& path) : impl_(new Impl), path_(path) {
    for (unsigned attempt = 0; attempt < 100 && impl_->file == INVALID_HANDLE_VALUE; ++attempt) {
        temporary_ = TemporaryNameFor(path, attempt);
        // DELETE access lets an interruption mark it for deletion through
        // this handle.
        impl_->file = CreateFileW(Wide(temporary_).c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (impl_->file == INVALID_HANDLE_VALUE) {
            NoteError();
            if (g_lastError != ERROR_FILE_EXISTS && g_lastError != ERROR_ALREADY_EXISTS) break;
        }
    }
    if (impl_->file == INVALID_HANDLE_VALUE)
        throw Failure("cannot create a file in " + FolderOf(path) + ": " + LastSystemError());
    const std::wstring wide = Wide(temporary_);
    if (wide.size() < sizeof g_pendingTemporary / sizeof g_pendingTemporary[0]) {
        wcscpy(g_pendingTemporary, wide.c_str());
        g_pendingHandle = impl_->file;
        g_havePendingTemporary = true;
    }
}

OutputFile::~OutputFile() {
    g_havePendingTemporary = false;
    g_pendingHandle = INVALID_HANDLE_VALUE;
    if (impl_->file != INVALID_HANDLE_VALUE) CloseHandle(impl_->file);
    if (!committed_) DeleteFileW(Wide(temporary_).c_str());
}

void OutputFile::Write(const void* data, size_t size) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    for (size_t done = 0; done < size;) {
        const DWORD want = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
        DWORD n = 0;
        if (!::WriteFile(impl_->file, p + done, want, &n, nullptr) || n == 0) {
            NoteError();
            throw Failure("cannot write " + temporary_ + ": " + LastSystemError());
        }
        done += n;
    }
}

void OutputFile::Finish() {
    if (!FlushFileBuffers(impl_->file)) {
        NoteError();
        throw Failure("cannot flush " + temporary_ + ": " + LastSystemError());
    }
    HANDLE file = impl_->file;
    g_pendingHandle = INVALID_HANDLE_VALUE;  // from now on it goes by name
    impl_->file = INVALID_HANDLE_VALUE;
    if (!CloseHandle(file)) {
        NoteError();
        throw Failure("cannot close " + temporary_ + ": " + LastSystemError());
    }
}

void OutputFile::Commit() {
    if (impl_->file != INVALID_HANDLE_VALUE) Finish();
    // Replaces an earlier file in one step; WRITE_THROUGH returns only once
    // the rename is on disk.
    if (!MoveFileExW(Wide(temporary_).c_str(), Wide(path_).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        NoteError();
        throw Failure("cannot rename the finished file to " + path_ + ": " + LastSystemError());
    }
    committed_ = true;
}

bool IsTerminal(StandardStream stream) {
    return IsConsole(GetStdHandle(stream == StandardStream::kOutput ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE));
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
