// Files and standard streams for mkpackage, the same on every system it runs
// on: inputs mapped read-only (or read from pipes and devices), file
// identities to tell whether two names are one file, outputs that appear
// under their name only when complete, and whether a stream is a terminal.
// One implementation per system: HostFilesPosix.cpp, HostFilesWindows.cpp.
// Paths are UTF-8 everywhere; the Windows implementation turns them into
// UTF-16 for the W functions.  "-" names standard input where a file is
// read, and standard output where one is written.
#pragma once
#include <cstdint>
#include <functional>
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

// The identity of the regular file path names, or nothing when it names
// none (nothing there, a folder, a device, a pipe, or "-"): only a regular
// file can be destroyed by writing another over it.
std::optional<FileId> IdentifyFile(const std::string& path);

// A whole input file, never modified.  A regular file is mapped, so only
// the parts that are used are read; a pipe or device is read (standard
// input, "-", too).  Should a mapped file shrink while it is read (another
// program truncates it in place), the process ends with "NAME changed while
// it was read" and exit code 1, leaving no output, where it would otherwise
// die of SIGBUS.
class InputFile {
public:
    // label names the file in messages ("--engine64 setup64.exe"; the path
    // alone when empty).  A file larger than maxSize is refused before it is
    // read, with tooLarge as the reason ("an engine must be smaller than
    // 2 GiB"); a pipe or device is read into memory, no further than that.
    // Throws Failure naming the file.
    static std::shared_ptr<const InputFile> Open(const std::string& path, const std::string& label = {},
                                                 uint64_t maxSize = UINT64_MAX, const std::string& tooLarge = {});

    // How much of a stream to take, decided from its first bytes: called
    // with up to kStreamHead of them (fewer when the stream ends sooner), it
    // returns the most bytes to keep, or throws Failure when they cannot
    // begin what is wanted.
    static constexpr size_t kStreamHead = 64 * 1024;
    using StreamBound = std::function<uint64_t(const uint8_t* head, size_t size)>;
    // The same for a file that may be huge and may come from a stream: a
    // regular file is mapped; a pipe or device is read up to the bound into
    // a temporary file (in $TMPDIR, or the system's temporary folder), which
    // is mapped, so that memory stays small however much is read.
    static std::shared_ptr<const InputFile> OpenBounded(const std::string& path, const StreamBound& bound);

    virtual ~InputFile() = default;

    const uint8_t* Data() const { return data_; }
    uint64_t Size() const { return size_; }
    const std::string& Path() const { return path_; }
    // A stream that went on past its bound: Data() holds the bound's bytes.
    bool Cut() const { return cut_; }
    // Throws Failure ("NAME changed while it was read") when the file is no
    // longer as it was when it was opened: a different size or modification
    // time.  A stream, read once, never changes.
    virtual void CheckUnchanged() const {}

protected:
    InputFile() = default;
    const uint8_t* data_ = nullptr;
    uint64_t size_ = 0;
    std::string path_;
    bool cut_ = false;
};

// An output that appears under its name only when it is complete: written
// to a temporary file in the same folder (named mkpackage-XXXXXX.tmp, so
// that any name the file system takes works for OUT), flushed to disk, then
// renamed over the name.  Until Commit, an earlier file of that name stays as
// it was; a failure, an interruption (Ctrl+C, SIGTERM, SIGHUP, a closed
// console or pipe) or an OutputFile destroyed without Commit removes the
// temporary file.  Signals the caller set to be ignored stay ignored.
//
// A symbolic link to a file is followed, as cp does: the file it points to
// is replaced and the link stays; a link that points nowhere is refused, as
// cp refuses it (/dev/stdout is one when standard output is closed).  An OUT that exists and is no regular file (a
// device such as /dev/null or NUL, a FIFO), and standard output ("-", or
// the file standard output goes to), is never replaced: the finished file is
// made in the temporary folder and copied into it on Commit.  A terminal is
// refused: a package is no text.
class OutputFile {
public:
    // Throws Failure when OUT is a folder or a terminal, or its folder
    // cannot take a new file; nothing is written then.
    explicit OutputFile(const std::string& path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void Write(const void* data, size_t size);  // throws Failure
    // Flushes and closes the temporary file; it can then be read back
    // (TemporaryPath) before Commit.
    void Finish();
    const std::string& TemporaryPath() const { return temporary_; }
    // Renames the finished file over the name (and makes the rename
    // durable), or copies it into the device, pipe or standard output.
    // Throws Failure.
    void Commit();
    // Whether OUT is the process's standard output, where results are then
    // not to be printed.
    bool IsStandardOutput() const;
    // After Finish: the file at path (a ScratchFile of this folder, a signed
    // copy of the temporary file) becomes the temporary file, which Commit
    // then puts under OUT.  Throws Failure.
    void ReplaceTemporaryWith(const std::string& path);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::string path_, temporary_;
    bool committed_ = false;
};

// Whether anything (a file, a folder, a dangling link) is at path now.
bool PathExists(const std::string& path);
// Whether path names a regular file itself (not a link to one, a folder, a
// device).
bool IsRegularFile(const std::string& path);

// A file of mkpackage's own for a sign command to read or write, beside an
// OutputFile's temporary file: created empty (mkpackage-XXXXXX.tmp) and
// closed, so that another program can open it.  It is removed when the
// object goes, and on an interruption as the temporary file is (scratch
// files live while an OutputFile does).  Safe to make from several threads.
class ScratchFile {
public:
    explicit ScratchFile(const std::string& folder);  // throws Failure
    ~ScratchFile();
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    const std::string& Path() const { return path_; }
    // Removes the file but keeps its name for this object, for a program
    // that will only write a file that does not exist yet (osslsigncode's
    // -out): whatever is there later is removed with the object.
    void Vacate();
    // The file has been moved away (ReplaceTemporaryWith): nothing to remove.
    void Release() {
        released_ = true;
        Forget();
    }

private:
    void Forget();
    std::string path_;
    int slot_ = -1;
    bool released_ = false;
};

// The value of an environment variable, when it is set (UTF-8).
std::optional<std::string> EnvironmentVariable(const std::string& name);

// Writes size bytes to the existing file path, replacing what it held.
// Throws Failure.
void WriteWholeFile(const std::string& path, const uint8_t* data, uint64_t size);

// The folder a path lies in ("." for a bare name).
std::string FolderOf(const std::string& path);

// What a command run through the system's shell did.
struct ShellResult {
    int exitCode = -1;   // its exit code, or -1 when it did not end normally
    int signal = 0;      // the signal that ended it (POSIX)
    std::string output;  // what it wrote to its standard output and error, the last 64 KiB
};
// Runs command through the system's shell (/bin/sh -c; cmd.exe /d /s /c
// from the system folder) with variables added to its environment, no
// standard input, and its standard output and error collected: nothing it
// writes can reach mkpackage's standard output, which may be carrying a
// package.  An interruption of mkpackage ends it too.  Several may run at
// once, from different threads.  Throws Failure when it cannot be started.
ShellResult RunShellCommand(const std::string& command,
                            const std::vector<std::pair<std::string, std::string>>& variables);
// How a shell command names the value of one of those variables as a
// single word: the value itself in single quotes for /bin/sh; "%NAME%" for
// cmd.exe, which has no way to quote a '%' in a value written out.
std::string ShellWord(const std::string& name, const std::string& value);

enum class StandardStream { kInput, kOutput, kError };
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
