// mkpackage verify and extract: the launcher's checks on a package file, and
// the decoded engine written out.
#include "Commands.h"
#include "HostFiles.h"
#include "Options.h"
#include "PackageCheck.h"
#include "TerminalText.h"

const char* const kVerifyHelp = R"(usage: mkpackage verify FILE

Makes every check the launcher makes before it starts an engine, in its
order: the file can hold a package at all (a Windows program whose locator
at bytes 128-151 points past its image), the file is long enough (expectedFileSize, or
minimumFileSize when set), the CRC-32 of the checked block matches, the header
is readable, the LZMA properties are usable (byte 0 below 225, dictionary
below 2^31, lc + lp at most 4), every engine present decodes, with the
launcher's own decoder, to exactly its unpacked size (which is not 0: the
launcher would start an empty file), and the message texts lie inside the
file.  Data after the package as built (a signature) is accepted, as the
launcher accepts it.  FILE may be - (standard input) or another stream: it is
refused at once when its first bytes can begin no package, and read no
further than the package they announce and its certificate table.

Prints an "OK" line per check and exits 0; on the first failure prints why,
naming the file and the field, and exits 1 ("no package" for a file that
cannot hold one; "changed while it was read" when another program wrote it
meanwhile).  Warns, and still exits 0, about what the launcher accepts but
runs wrongly or a vendor must know: bytes after the certificate table (the
signature no longer covers the file), a packed stream that goes on after its
unpackedSize, however little (the launcher would run a cut engine), or has
packed bytes after its end, a package that runs on no Windows (every Windows
it allows exists only in a width where it runs nothing), an engine larger
than the 32-bit launcher is known to hold, a release range of an
allowed Windows 10 or 11 that is upside down, a stream that goes on past the
package.  Exit 2 on a usage error.

  -h, --help  this text

Examples:
  mkpackage verify MySetup.exe
  mkpackage verify MySetup-signed.exe && echo ready to ship
)";

const char* const kExtractHelp = R"(usage: mkpackage extract FILE (--engine32 | --engine64) -o OUT

Writes the decoded 32-bit or 64-bit setup engine of the package FILE to OUT,
byte for byte as the launcher would run it.  The package must pass the same
checks as for 'mkpackage verify' (for the chosen engine); the engine is
decoded straight into a temporary file next to OUT, flushed and renamed, so
OUT never appears half-written and a failed check leaves an earlier OUT as
it was.  OUT may not be FILE itself.  OUT may be - (standard output; what was
written is then said on standard error) or a device or FIFO, which gets the
engine once it is complete; a symbolic link is followed.  FILE may be - or
another stream, as for 'mkpackage verify'.

  --engine32        the 32-bit engine
  --engine64        the 64-bit engine
  -o, --output OUT  where to write it (- for standard output)
  -h, --help        this text

Examples:
  mkpackage extract MySetup.exe --engine64 -o setup64.exe
  curl -s https://example.com/MySetup.exe | mkpackage extract - --engine32 -o - | sha256sum
)";

namespace {

CheckReport Printing(Console& console, bool printOk) {
    CheckReport report;
    if (printOk) report.ok = [&console](const std::string& line) { PrintLine(console.out, "OK " + line); };
    report.warn = [&console](const std::string& line) { PrintLine(console.err, "mkpackage: warning: " + line); };
    return report;
}

}  // namespace

int RunVerify(const std::vector<std::string>& args, Console& console) {
    ArgCursor cursor(args);
    while (!cursor.Done()) {
        const std::string opt = cursor.Next();
        if (opt != "-h" && opt != "--help") throw UsageError("unknown option " + opt);
        console.out << kVerifyHelp;
        return kExitOk;
    }
    const std::string path = cursor.OneFile();
    const PackageFile file = LoadPackageFile(path);
    VerifyPackage(file, EngineChoice::kBoth, Printing(console, true));
    CheckUnchanged(file);
    PrintLine(console.out, path + ": OK");
    return kExitOk;
}

int RunExtract(const std::vector<std::string>& args, Console& console) {
    std::string output;
    std::optional<EngineChoice> choice;
    ArgCursor cursor(args);
    while (!cursor.Done()) {
        const std::string opt = cursor.Next();
        if (opt == "-h" || opt == "--help") {
            console.out << kExtractHelp;
            return kExitOk;
        }
        if (opt == "--engine32" || opt == "--engine64") {
            cursor.NoValue(opt);
            const EngineChoice c = opt == "--engine32" ? EngineChoice::kOnly32 : EngineChoice::kOnly64;
            if (choice && *choice != c) throw UsageError("--engine32 and --engine64 exclude each other");
            choice = c;
        } else if (opt == "-o" || opt == "--output") {
            output = cursor.FileValue(opt);
        } else {
            throw UsageError("unknown option " + opt);
        }
    }
    const std::string path = cursor.OneFile();
    if (!choice) throw UsageError("say which engine: --engine32 or --engine64");
    if (output.empty()) throw UsageError("-o OUT is required");
    const PackageFile file = LoadPackageFile(path);
    const std::optional<FileId> outputId = IdentifyFile(output);
    if (outputId && IdentifyFile(path) == outputId)
        throw UsageError("-o " + output + " is the same file as FILE " + path);
    OutputFile out(output);
    uint64_t written = 0;
    VerifyPackage(file, *choice, Printing(console, false), [&](const uint8_t* data, size_t size) {
        out.Write(data, size);
        written += size;
    });
    CheckUnchanged(file);
    out.Commit();
    PrintLine(out.IsStandardOutput() ? console.err : console.out, output + ": " + CountText(written, "byte", "bytes") + ", the " +
                               (*choice == EngineChoice::kOnly32 ? "32" : "64") + "-bit engine of " + path);
    return kExitOk;
}
