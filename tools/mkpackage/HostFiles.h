// Files and standard streams for mkpackage, the same on every system it runs
// on: inputs mapped read-only (or read whole when they are pipes), file
// identities to tell whether two names are one file, outputs that appear
// under their name only when complete, and whether a stream is a terminal.
// One implementation per system: HostFilesPosix.cpp, HostFilesWindows.cpp.
// Paths are UTF-8 everywhere; the Windows implementation turns them into
// UTF-16 for the W functions.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Which file a name refers to: device and inode, or volume serial number and
// file index.  Hard links, "./" spellings and symbolic links to one file
// have the same identity.
struct FileId {
    uint64_t volume = 0;
    uint64_t index = 0;
    bool operator==(const FileId& other) const { return volume == other.volume && index == other.index; }
};

// The identity of what path names, or nothing when there is nothing there.
std::optional<FileId> IdentifyFile(const std::string& path);

// A whole input file, never modified.  A regular file is mapped, so only
// the parts that are used are read; a pipe or device is read whole.
class InputFile {
public:
    // label names the file in messages ("--engine64 setup64.exe"; the path
    // alone when empty).  A file larger than maxSize is refused before it is
    // read, with tooLarge as the reason ("an engine must be smaller than
    // 2 GiB").  Throws Failure naming the file.
    static std::shared_ptr<const InputFile> Open(const std::string& path, const std::string& label = {},
                                                 uint64_t maxSize = UINT64_MAX, const std::string& tooLarge = {});
    virtual ~InputFile() = default;

    const uint8_t* Data() const { return data_; }
    uint64_t Size() const { return size_; }
    const std::string& Path() const { return path_; }

protected:
    InputFile() = default;
    const uint8_t* data_ = nullptr;
    uint64_t size_ = 0;
    std::string path_;
};

// An output that appears under its name only when it is complete: written
// to a temporary file in the same folder, flushed to disk, then renamed over
// the name.  Until Commit, an earlier file of that name stays as it was; a
// failure, an interruption (Ctrl+C, SIGTERM, SIGHUP, a closed console) or an
// OutputFile destroyed without Commit removes the temporary file.
class OutputFile {
public:
    // Throws Failure when the folder cannot take a new file.
    explicit OutputFile(const std::string& path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void Write(const void* data, size_t size);  // throws Failure
    // Flushes to disk and closes the temporary file; it can then be read
    // back (TemporaryPath) before Commit.
    void Finish();
    const std::string& TemporaryPath() const { return temporary_; }
    // Renames the finished file over the name (and makes the rename
    // durable).  Throws Failure.
    void Commit();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::string path_, temporary_;
    bool committed_ = false;
};

enum class StandardStream { kOutput, kError };
bool IsTerminal(StandardStream stream);

// Sets up what happens on Ctrl+C and its kin (SIGINT, SIGTERM, SIGHUP;
// console control events): an OutputFile's temporary file is removed and
// the process ends with a failure, never as if it had succeeded.
void HandleInterruptions();

// Makes std::cout and std::cerr show UTF-8 right on a console (Windows
// consoles want UTF-16); on a pipe or file the bytes go out unchanged.
void PrepareStandardStreams();

#ifdef _WIN32
// The program's arguments, from the UTF-16 command line, as UTF-8.
std::vector<std::string> Utf8Arguments(int argc, wchar_t** argv);
#endif

// What the last failed system call said, in words ("No such file or
// directory").
std::string LastSystemError();
