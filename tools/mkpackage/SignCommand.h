// Signing inside and out, in one build: the vendor's sign command is run on
// each engine that carries no signature yet (a copy of it: the file given
// never changes) and, last, on the finished package, and what it made is
// checked before it is used.
//
// Windows' elevation prompt shows the publisher of the engine's temporary
// copy, not of the package: an unsigned engine asks users to trust
// "Unknown publisher".
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Concurrency.h"
#include "HostFiles.h"
#include "Options.h"

// The sign command for build: --sign-command's value when given, else the
// environment variable MKPACKAGE_SIGN_COMMAND (so that a CI secret need not
// stand on a command line), else none.  An empty one and one without {in}
// are usage errors.
std::optional<std::string> ChooseSignCommand(const std::optional<std::string>& option);

// The command as the shell runs it for one file: {in} and {out} replaced,
// in one pass, by the words that name the paths (ShellWord).
std::string ExpandSignCommand(const std::string& command, const std::string& in, const std::string& out);
// Whether the command writes a signed copy ({out}) rather than signing
// {in} in place.
bool SignsIntoACopy(const std::string& command);

// Why signedFile is no signed copy of original, as words that follow "the
// file it made" ("carries no certificate table: ..."), or empty when it is:
// it may differ only in the PE checksum, the certificate table's directory
// entry and what follows the original's end, which must be padding to the
// next multiple of 8 (zeros) and then the certificate table, to the end.
std::string SignedCopyProblem(const uint8_t* original, uint64_t originalSize, const uint8_t* signedFile,
                              uint64_t signedSize);

// A sign command that failed: the message, and what the command wrote.
class SignFailure : public Failure {
public:
    SignFailure(const std::string& message, std::string output) : Failure(message), output_(std::move(output)) {}
    const std::string& Output() const { return output_; }

private:
    std::string output_;
};

// Runs the sign command in folder (where OUT's temporary file lies).  Its
// files live until the Signer goes.  SignEngine may be called from two
// threads at once.
class Signer {
public:
    Signer(std::string command, std::string folder) : command_(std::move(command)), folder_(std::move(folder)) {}
    // A signed copy of engine (named by what, "--engine64 setup64.exe"),
    // checked.  Throws SignFailure or Failure.
    std::shared_ptr<const InputFile> SignEngine(const InputFile& engine, const std::string& what);
    // Signs the finished package in out's temporary file (after Finish) and
    // checks the result, the launcher's checks included; returns the signed
    // file's size.  Throws.
    uint64_t SignPackage(OutputFile& out, const std::string& what);

private:
    // What a command that ended well said, for a failure found in what it
    // made.
    struct Ran {
        std::string line, output;
    };
    // Runs the command on in (and out); throws SignFailure when it fails.
    Ran Run(const std::string& what, const std::string& in, const std::string& out);
    // A scratch file for this Signer's life; vacant: its name only, for a
    // command that writes a file that must not exist yet.
    ScratchFile& NewScratch(bool vacant = false);

    std::string command_, folder_;
    Mutex mutex_;
    std::vector<std::unique_ptr<ScratchFile>> scratch_;
};
