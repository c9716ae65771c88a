// mkpackage verify and extract: the launcher's checks on a package file, and
// the decoded engine written out.
#include "Commands.h"
#include "FileIo.h"
#include "Options.h"
#include "PackageCheck.h"

const char* const kVerifyHelp = R"(usage: mkpackage verify FILE

Makes every check the launcher makes before it starts an engine, in its
order: the locator is present, the file is long enough (expectedFileSize, or
minimumFileSize when set), the CRC-32 of the checked block matches, the header
is readable, the LZMA properties are usable (byte 0 below 225, dictionary
below 2^31, lc + lp at most 4), every engine present decodes to exactly its
unpacked size, and the message texts lie inside the file.  Data after the
package as built (a signature) is accepted, as the launcher accepts it.

Prints an "OK" line per check and exits 0; on the first failure prints why,
naming the file and the field, and exits 1.  Exit 2 on a usage error.

  -h, --help  this text

Examples:
  mkpackage verify MySetup.exe
  mkpackage verify MySetup-signed.exe && echo ready to ship
)";

const char* const kExtractHelp = R"(usage: mkpackage extract FILE (--engine32 | --engine64) -o OUT

Writes the decoded 32-bit or 64-bit setup engine of the package FILE to OUT,
byte for byte as the launcher would run it.  The package must pass the same
checks as for 'mkpackage verify' (for the chosen engine); OUT is written to a
temporary file and renamed, so it never appears half-written.

  --engine32        the 32-bit engine
  --engine64        the 64-bit engine
  -o, --output OUT  where to write it
  -h, --help        this text

Examples:
  mkpackage extract MySetup.exe --engine64 -o setup64.exe
)";

int RunVerify(const std::vector<std::string>& args, Console& console) {
    std::string path;
    ArgCursor cursor(args);
    while (!cursor.Done()) {
        const std::string opt = cursor.Next();
        if (opt == "-h" || opt == "--help") {
            console.out << kVerifyHelp;
            return kExitOk;
        }
        TakeFileArgument(opt, path);
    }
    if (path.empty()) throw UsageError("FILE is required");
    const PackageFile file = LoadPackageFile(path);
    VerifyPackage(file, EngineChoice::kBoth, [&](const std::string& line) { console.out << "OK " << line << "\n"; });
    console.out << path << ": OK\n";
    return kExitOk;
}

int RunExtract(const std::vector<std::string>& args, Console& console) {
    std::string path, output;
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
            output = cursor.Value(opt);
        } else {
            TakeFileArgument(opt, path);
        }
    }
    if (path.empty()) throw UsageError("FILE is required");
    if (!choice) throw UsageError("say which engine: --engine32 or --engine64");
    if (output.empty()) throw UsageError("-o OUT is required");
    const PackageFile file = LoadPackageFile(path);
    Bytes engine;
    VerifyPackage(file, *choice, [](const std::string&) {}, &engine);
    std::string error;
    if (!WriteFileAtomically(output, engine, error)) throw Failure(error);
    console.out << output << ": " << engine.size() << " bytes, the "
                << (*choice == EngineChoice::kOnly32 ? "32" : "64") << "-bit engine of " << path << "\n";
    return kExitOk;
}
