#include "SignCommand.h"

#include <algorithm>

#include "PackageCheck.h"
#include "PeImage.h"

namespace {

const char* const kInPlaceholder = "{in}";
const char* const kOutPlaceholder = "{out}";
const char* const kCommandVariable = "MKPACKAGE_SIGN_COMMAND";
// The paths, in the command's environment too.
const char* const kInVariable = "MKPACKAGE_SIGN_IN";
const char* const kOutVariable = "MKPACKAGE_SIGN_OUT";

// Authenticode keeps the certificate table 8-byte aligned: a signer pads
// the file to the next multiple of 8 with zeros first.
constexpr uint64_t kTableAlignment = 8;

std::string ExitText(const ShellResult& r) {
    if (r.signal) return "ended by signal " + std::to_string(r.signal);
    if (r.exitCode < 0) return "did not end normally";
    return "exit code " + std::to_string(r.exitCode);
}

}  // namespace

std::optional<std::string> ChooseSignCommand(const std::optional<std::string>& option) {
    std::string source = "--sign-command";
    std::optional<std::string> command = option;
    if (!command) {
        command = EnvironmentVariable(kCommandVariable);
        source = kCommandVariable;
    }
    if (!command) return std::nullopt;
    // An empty one is most often a secret that did not reach the pipeline:
    // building unsigned instead would go unnoticed.
    if (command->find_first_not_of(" \t\r\n") == std::string::npos)
        throw UsageError(source + " is empty: give the command that signs a file (see mkpackage build --help), "
                                  "or leave it unset to build without signing");
    if (command->find(kInPlaceholder) == std::string::npos)
        throw UsageError(source + " has no {in}: the command must name the file to sign as {in} (and, when it "
                                  "writes a signed copy, that copy as {out})");
    return command;
}

bool SignsIntoACopy(const std::string& command) { return command.find(kOutPlaceholder) != std::string::npos; }

std::string ExpandSignCommand(const std::string& command, const std::string& in, const std::string& out) {
    // One pass: a path that itself holds "{out}" is not expanded again.
    std::string line;
    for (size_t at = 0; at < command.size();) {
        if (command.compare(at, 4, kInPlaceholder) == 0) {
            line += ShellWord(kInVariable, in);
            at += 4;
        } else if (command.compare(at, 5, kOutPlaceholder) == 0) {
            line += ShellWord(kOutVariable, out);
            at += 5;
        } else {
            line += command[at++];
        }
    }
    return line;
}

std::string SignedCopyProblem(const uint8_t* original, uint64_t originalSize, const uint8_t* signedFile,
                              uint64_t signedSize) {
    PeInfo pe;
    std::string error;
    if (!ParsePeHeaders(original, originalSize, pe, error)) return "was made from a file that is no PE image (" + error + ")";
    if (signedSize == 0) return "is empty";
    const auto table = CertificateTableOf(signedFile, signedSize);
    if (!table) return "carries no certificate table: it is not signed";
    if (signedSize < originalSize)
        return "is " + CountText(signedSize, "byte", "bytes") + ", shorter than the " +
               CountText(originalSize, "byte", "bytes") + " it was given";
    if (table->offset < originalSize)
        return "has its certificate table at byte " + std::to_string(table->offset) + ", inside the " +
               CountText(originalSize, "byte", "bytes") + " it was given";
    if (table->offset - originalSize >= kTableAlignment || table->offset % kTableAlignment != 0)
        return "has its certificate table at byte " + std::to_string(table->offset) + ", not right after the " +
               CountText(originalSize, "byte", "bytes") + " it was given (padded to a multiple of 8)";
    for (uint64_t i = originalSize; i < table->offset; ++i)
        if (signedFile[i] != 0) return "has padding before its certificate table that is not zeros";
    if (table->offset + table->size != signedSize)
        return "has " + CountText(signedSize - table->offset - table->size, "byte", "bytes") +
               " after its certificate table, which the signature does not cover";
    // Only the checksum and the certificate table's entry may change in
    // what was given: anything else would be a different program.
    const uint64_t checksumAt = pe.optionalHeaderOffset + 64;
    const uint64_t entryAt = pe.optionalHeaderOffset + (pe.pe32Plus ? 112 : 96) + 4 * 8;
    for (uint64_t i = 0; i < originalSize; ++i) {
        if ((i >= checksumAt && i < checksumAt + 4) || (i >= entryAt && i < entryAt + 8)) continue;
        if (original[i] != signedFile[i])
            return "differs from the file it was given at byte " + std::to_string(i) +
                   " (a signer may change only the checksum and the certificate table's entry, and append)";
    }
    return {};
}

ScratchFile& Signer::NewScratch(bool vacant) {
    auto scratch = std::make_unique<ScratchFile>(folder_);
    if (vacant) scratch->Vacate();
    const std::lock_guard<Mutex> lock(mutex_);
    scratch_.push_back(std::move(scratch));
    return *scratch_.back();
}

Signer::Ran Signer::Run(const std::string& what, const std::string& in, const std::string& out) {
    const std::string line = ExpandSignCommand(command_, in, out);
    const ShellResult r = RunShellCommand(line, {{kInVariable, in}, {kOutVariable, out}});
    if (r.exitCode != 0)
        throw SignFailure("the sign command failed for " + what + " (" + ExitText(r) + "): " + line, r.output);
    // A command that ends well but leaves nothing behind: most often {out}
    // misspelt, or a signer that writes its copy somewhere else.
    if (!PathExists(out)) {
        if (in == out)
            throw SignFailure("the sign command removed " + what + " instead of signing it in place: " + line,
                              r.output);
        throw SignFailure("the sign command wrote no signed copy of " + what + " to {out}: " + line, r.output);
    }
    // What becomes OUT is renamed into place and given OUT's mode: a link
    // would make OUT a link, and the mode would land on what it points to.
    if (!IsRegularFile(out))
        throw SignFailure("the sign command left something other than a file at " + out + " for " + what + ": " + line,
                          r.output);
    return {line, r.output};
}

std::shared_ptr<const InputFile> Signer::SignEngine(const InputFile& engine, const std::string& what) {
    ScratchFile& copy = NewScratch();
    WriteWholeFile(copy.Path(), engine.Data(), engine.Size());
    ScratchFile* into = SignsIntoACopy(command_) ? &NewScratch(true) : &copy;
    const Ran ran = Run(what, copy.Path(), into->Path());
    auto signedCopy = InputFile::Open(into->Path(), "the signed copy of " + what, 0x7FFFFFFFu,
                                      "an engine must be smaller than 2 GiB");
    const std::string problem = SignedCopyProblem(engine.Data(), engine.Size(), signedCopy->Data(), signedCopy->Size());
    if (!problem.empty())
        throw SignFailure("the sign command did not sign " + what + ": the file it made " + problem + ": " + ran.line,
                          ran.output);
    return signedCopy;
}

uint64_t Signer::SignPackage(OutputFile& out, const std::string& what) {
    const std::string& package = out.TemporaryPath();
    const bool copy = SignsIntoACopy(command_);
    // What was given, to compare what the command made with: a command that
    // signs into a copy leaves it as it is; one that signs in place changes
    // it, so it is kept aside first.
    std::string given = package, result = package;
    ScratchFile* into = nullptr;
    if (copy) {
        into = &NewScratch(true);
        result = into->Path();
    } else {
        ScratchFile& aside = NewScratch();
        const auto unsignedPackage = InputFile::Open(package, what);
        WriteWholeFile(aside.Path(), unsignedPackage->Data(), unsignedPackage->Size());
        given = aside.Path();
    }
    const Ran ran = Run(what, package, result);
    uint64_t size = 0;
    {
        const auto before = InputFile::Open(given, what);
        const auto after = InputFile::Open(result, "the signed copy of " + what);
        const std::string problem = SignedCopyProblem(before->Data(), before->Size(), after->Data(), after->Size());
        if (!problem.empty())
            throw SignFailure("the sign command did not sign " + what + ": the file it made " + problem + ": " +
                                  ran.line,
                              ran.output);
        size = after->Size();
        // The launcher's own checks once more: the signature must follow
        // the package, which must still be whole.
        try {
            VerifyPackage(LoadPackageFile(result), EngineChoice::kBoth, CheckReport{});
        } catch (const Failure& e) {
            throw Failure("the signed " + what + " would not pass the launcher's checks: " + e.what());
        }
    }
    // A signed copy becomes the file OUT is made from; one signed in place
    // gets OUT's mode and is flushed, as the temporary file was.
    out.ReplaceTemporaryWith(result);
    if (copy) into->Release();
    return size;
}
