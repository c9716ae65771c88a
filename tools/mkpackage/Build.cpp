// mkpackage build: checks every input, packs the engines, lays out the
// package, checks the result as the launcher would and only then writes it.
#include <cstdio>
#include <iomanip>
#include <sstream>

#include "Commands.h"
#include "FileIo.h"
#include "Options.h"
#include "PackageCheck.h"
#include "PeImage.h"

const char* const kBuildHelp = R"(usage: mkpackage build --stub STUB (--engine32 FILE | --engine64 FILE | both)
                      --allow VERSIONS [options] -o OUT

Appends a setup package to a copy of the launcher STUB and writes it to OUT.
OUT appears only when it is complete: it is written to a temporary file in
OUT's folder, flushed and renamed, so an interrupted build leaves no partial
package under OUT.  Build first, then sign OUT; never append to a signed file.

Inputs:
  --stub FILE            the launcher (stub32.exe or stub64.exe): a PE image whose
                         PE header starts at 256, with bytes 128-151 free and no
                         data after its last section (so not signed, no package)
  --engine32 FILE        the 32-bit setup engine (a PE32 i386 image)
  --engine64 FILE        the 64-bit setup engine (a PE32+ x86-64 image)
  --refuse-64bit         no 64-bit engine, and 64-bit Windows is refused with the
                         wrong-width message (needs --engine32, excludes --engine64)
  --data FILE            data for the engine, stored after the message texts
  --checked-data N|all   how many leading bytes of --data the CRC-32 covers
                         (default 0: the checksum covers header, engines and texts)
  An engine that is not a PE image of its width is packed, with a warning.

Where it may run:
  --allow LIST           required; comma-separated Windows versions that may run
                         it: 95 98 me nt4 2000 xp vista 7 8 8.1 10 11 later, or
                         all ('later' = newer or unrecognised versions)
  --win10 MIN-MAX        Windows 10 release codes allowed (default 1507-, where
                         'MIN-' means no upper bound, stored as 9999)
  --win11 MIN-MAX        Windows 11 release codes allowed (default 2110-)

Launch:
  --elevation MODE       what a silent run (/s, /silent) by a standard user on
                         Vista or later does: none (0, default: nothing),
                         runas (1: ask for elevation), noadmin (2: pass /noadmin)
  --minimum-file-size N  size rule on N instead of the package's size, and the
                         launcher neither waits for the engine nor deletes its
                         temporary copy (default 0: off)

Messages (UTF-8 in, stored as UTF-16; at most 65535 UTF-16 units; a file's
UTF-8 byte-order mark and one final line break are dropped):
  --wrong-width-text TEXT | --wrong-width-file FILE
                         shown when the processor width does not suit the package
  --unsupported-text TEXT | --unsupported-file FILE
                         shown on a Windows version not allowed; %USER% (or
                         %user%) is replaced by the name of that version

Compression (raw LZMA1, one setting for both engines):
  --preset 0-9           effort of the match finder (default 6)
  --extreme              slower, sometimes smaller
  --dict SIZE            dictionary size, 4KiB to below 2GiB (default 4MiB)
  --lc N --lp N --pb N   literal context / position bits (default 3, 0, 2;
                         lc + lp at most 4, pb at most 4)
  --end-marker           write an end-of-stream marker after each engine

  -o, --output OUT       the package to write (required)
  -h, --help             this text

Values may follow their option as the next word or after '=' (--dict=8MiB);
sizes take KiB, MiB or GiB.  An option given twice: the last one counts.

Examples:
  mkpackage build --stub stub32.exe --engine32 setup32.exe --engine64 setup64.exe \
      --allow 7,8,8.1,10,11,later --win10 1809- \
      --unsupported-text "This program does not run on %USER%." -o MySetup.exe
  mkpackage build --stub stub32.exe --engine32 setup32.exe --refuse-64bit \
      --allow all --wrong-width-text "Please use the 64-bit download." -o Setup32.exe
  mkpackage build --stub stub64.exe --engine64 setup64.exe --data payload.bin \
      --checked-data all --allow 10,11,later --elevation runas --preset 9 \
      --extreme --dict 64MiB -o Setup64.exe
)";

namespace {

struct TextSource {
    const char* textOption;
    const char* fileOption;
    std::optional<std::string> text;
    std::optional<std::string> file;
};

struct BuildOptions {
    std::string stub, engine32, engine64, data, output;
    bool refuse64 = false;
    std::optional<std::string> checkedData;
    std::optional<AllowedWindowsSet> allow;
    uint16_t win10Min = 1507, win10Max = 9999, win11Min = 2110, win11Max = 9999;
    uint8_t elevation = 0;
    uint32_t minimumFileSize = 0;
    TextSource wrongWidth{"--wrong-width-text", "--wrong-width-file", {}, {}};
    TextSource unsupported{"--unsupported-text", "--unsupported-file", {}, {}};
    LzmaSettings lzma;
    bool help = false;
};

BuildOptions ParseBuildArgs(const std::vector<std::string>& args) {
    BuildOptions o;
    ArgCursor cursor(args);
    while (!cursor.Done()) {
        const std::string opt = cursor.Next();
        auto value = [&] { return cursor.Value(opt); };
        auto flag = [&] { cursor.NoValue(opt); return true; };
        if (opt == "-h" || opt == "--help") o.help = flag();
        else if (opt == "--stub") o.stub = value();
        else if (opt == "--engine32") o.engine32 = value();
        else if (opt == "--engine64") o.engine64 = value();
        else if (opt == "--refuse-64bit") o.refuse64 = flag();
        else if (opt == "--data") o.data = value();
        else if (opt == "--checked-data") {
            o.checkedData = value();
            if (*o.checkedData != "all") ParseByteSize(opt, *o.checkedData, 0xFFFFFFFFu);
        }
        else if (opt == "--allow") o.allow = ParseWindowsList(opt, value());
        else if (opt == "--win10") ParseReleaseRange(opt, value(), o.win10Min, o.win10Max);
        else if (opt == "--win11") ParseReleaseRange(opt, value(), o.win11Min, o.win11Max);
        else if (opt == "--elevation") o.elevation = ParseElevation(opt, value());
        else if (opt == "--minimum-file-size")
            o.minimumFileSize = static_cast<uint32_t>(ParseByteSize(opt, value(), 0xFFFFFFFFu));
        else if (opt == "--wrong-width-text") o.wrongWidth.text = value();
        else if (opt == "--wrong-width-file") o.wrongWidth.file = value();
        else if (opt == "--unsupported-text") o.unsupported.text = value();
        else if (opt == "--unsupported-file") o.unsupported.file = value();
        else if (opt == "--preset") o.lzma.preset = static_cast<uint32_t>(ParseUnsigned(opt, value(), 9));
        else if (opt == "--extreme") o.lzma.extreme = flag();
        else if (opt == "--dict") {
            const std::string text = value();
            const uint64_t size = ParseByteSize(opt, text, 0x7FFFFFFFu);
            if (size < 4096) throw UsageError("--dict " + text + " is too small (at least 4KiB)");
            o.lzma.dictionarySize = static_cast<uint32_t>(size);
        }
        else if (opt == "--lc") o.lzma.lc = static_cast<uint32_t>(ParseUnsigned(opt, value(), 4));
        else if (opt == "--lp") o.lzma.lp = static_cast<uint32_t>(ParseUnsigned(opt, value(), 4));
        else if (opt == "--pb") o.lzma.pb = static_cast<uint32_t>(ParseUnsigned(opt, value(), 4));
        else if (opt == "--end-marker") o.lzma.endMarker = flag();
        else if (opt == "-o" || opt == "--output") o.output = value();
        else if (!opt.empty() && opt[0] == '-') throw UsageError("unknown option " + opt);
        else throw UsageError("unexpected argument '" + opt + "'");
    }
    if (o.help) return o;
    if (o.stub.empty()) throw UsageError("--stub FILE is required");
    if (o.output.empty()) throw UsageError("-o OUT is required");
    if (!o.allow)
        throw UsageError("--allow is required: the Windows versions that may run the package "
                         "(e.g. --allow all, or --allow 7,8,8.1,10,11,later)");
    if (o.refuse64 && !o.engine64.empty()) throw UsageError("--refuse-64bit and --engine64 exclude each other");
    if (o.refuse64 && o.engine32.empty()) throw UsageError("--refuse-64bit needs --engine32");
    if (o.engine32.empty() && o.engine64.empty())
        throw UsageError("at least one engine is needed: --engine32 FILE and/or --engine64 FILE");
    for (const TextSource* t : {&o.wrongWidth, &o.unsupported})
        if (t->text && t->file)
            throw UsageError(std::string(t->textOption) + " and " + t->fileOption + " exclude each other");
    if (o.lzma.lc + o.lzma.lp > 4)
        throw UsageError("--lc " + std::to_string(o.lzma.lc) + " plus --lp " + std::to_string(o.lzma.lp) +
                         " is more than 4");
    if (o.checkedData && o.data.empty() && *o.checkedData != "all" && *o.checkedData != "0")
        throw UsageError("--checked-data " + *o.checkedData + " needs --data FILE");
    return o;
}

Bytes ReadInput(const std::string& option, const std::string& path) {
    Bytes bytes;
    std::string error;
    if (!ReadWholeFile(path, bytes, error)) throw Failure(option + ": " + error);
    return bytes;
}

std::u16string ReadText(const TextSource& source) {
    std::string utf8;
    std::string where;
    if (source.text) {
        utf8 = *source.text;
        where = source.textOption;
    } else if (source.file) {
        const Bytes bytes = ReadInput(source.fileOption, *source.file);
        utf8.assign(bytes.begin(), bytes.end());
        where = std::string(source.fileOption) + " " + *source.file;
        if (utf8.compare(0, 3, "\xEF\xBB\xBF") == 0) utf8.erase(0, 3);
        if (!utf8.empty() && utf8.back() == '\n') utf8.pop_back();
        if (!utf8.empty() && utf8.back() == '\r') utf8.pop_back();
    } else {
        return {};
    }
    std::u16string text;
    try {
        text = Utf8ToUtf16(utf8);
    } catch (const PackageError&) {
        throw Failure(where + ": the text is not valid UTF-8");
    }
    if (text.size() > 0xFFFF)
        throw Failure(where + ": the text is " + std::to_string(text.size()) +
                      " UTF-16 units long; a message holds at most 65535");
    return text;
}

// Engines are opaque to the launcher, but a file that is no PE image of the
// right width is almost always a wrong path on the command line.
void WarnAboutEngine(Console& console, const char* option, const std::string& path, const Bytes& engine,
                     uint16_t wantMachine) {
    PeInfo info;
    std::string error;
    if (!ParsePe(engine, info, error)) {
        console.err << "mkpackage build: warning: " << option << " " << path << ": " << error
                    << "; packing it anyway\n";
        return;
    }
    if (info.machine != wantMachine)
        console.err << "mkpackage build: warning: " << option << " " << path << " is a "
                    << (info.pe32Plus ? "PE32+" : "PE32") << " image for machine 0x" << std::hex << info.machine
                    << std::dec << ", not " << (wantMachine == 0x14c ? "i386" : "x86-64") << "\n";
}

class Progress {
public:
    Progress(Console& console, std::string label, size_t total)
        : console_(console), label_(std::move(label)), show_(console.errIsTerminal && total >= (1u << 20)) {}
    ProgressFn Fn() {
        if (!show_) return {};
        return [this](uint64_t done, uint64_t total) {
            console_.err << "\rmkpackage: compressing " << label_ << " (" << std::fixed << std::setprecision(1)
                         << total / 1048576.0 << " MiB): " << (total ? 100 * done / total : 100) << "%" << std::flush;
        };
    }
    ~Progress() {
        if (show_) console_.err << "\n";
    }

private:
    Console& console_;
    std::string label_;
    bool show_;
};

PayloadInput Pack(Console& console, const char* label, const Bytes& engine, const LzmaSettings& lzma) {
    Progress progress(console, label, engine.size());
    PayloadInput in;
    in.prepacked = CompressLzma1(engine, lzma, progress.Fn());
    in.unpackedSizeOverride = static_cast<uint32_t>(engine.size());
    return in;
}

bool RefusesSomeWindows(const BuildOptions& o) {
    for (const WindowsName& n : WindowsNames())
        if (!o.allow->Contains(n.element)) return true;
    return o.win10Min > 1507 || o.win10Max < 9999 || o.win11Min > 2110 || o.win11Max < 9999;
}

}  // namespace

int RunBuild(const std::vector<std::string>& args, Console& console) {
    const BuildOptions o = ParseBuildArgs(args);
    if (o.help) {
        console.out << kBuildHelp;
        return kExitOk;
    }
    const char* kWarn = "mkpackage build: warning: ";

    PackageRecipe recipe;
    recipe.stub = ReadInput("--stub", o.stub);
    const std::string stubProblem = CheckStub(recipe.stub);
    if (!stubProblem.empty()) throw Failure("--stub " + o.stub + " cannot carry a package: " + stubProblem);

    Bytes engine32, engine64;
    if (!o.engine32.empty()) {
        engine32 = ReadInput("--engine32", o.engine32);
        WarnAboutEngine(console, "--engine32", o.engine32, engine32, 0x14c);
    }
    if (!o.engine64.empty()) {
        engine64 = ReadInput("--engine64", o.engine64);
        WarnAboutEngine(console, "--engine64", o.engine64, engine64, 0x8664);
    }
    // The launcher takes the unpacked size as a signed 32-bit count.
    auto refuseHuge = [](const char* option, const std::string& path, const Bytes& bytes) {
        if (bytes.size() >= 0x80000000u)
            throw Failure(std::string(option) + " " + path + " is 2 GiB or larger; an engine must be smaller");
    };
    refuseHuge("--engine32", o.engine32, engine32);
    refuseHuge("--engine64", o.engine64, engine64);

    if (!o.data.empty()) recipe.engineData = ReadInput("--data", o.data);
    if (o.checkedData) {
        if (*o.checkedData == "all") {
            recipe.checkedDataBytes = static_cast<uint32_t>(std::min<size_t>(recipe.engineData.size(), 0xFFFFFFFFu));
        } else {
            const uint64_t n = ParseByteSize("--checked-data", *o.checkedData, 0xFFFFFFFFu);
            if (n > recipe.engineData.size())
                throw UsageError("--checked-data " + *o.checkedData + " is more than the " +
                                 std::to_string(recipe.engineData.size()) + " bytes of --data " +
                                 (o.data.empty() ? std::string("(none given)") : o.data));
            recipe.checkedDataBytes = static_cast<uint32_t>(n);
        }
    }

    recipe.wrongWidthMessage = ReadText(o.wrongWidth);
    recipe.unsupportedWindowsMessage = ReadText(o.unsupported);
    const bool widthCanBeWrong = o.refuse64 || o.engine32.empty();
    if (widthCanBeWrong && recipe.wrongWidthMessage.empty())
        console.err << kWarn << "this package refuses "
                    << (o.refuse64 ? "64-bit" : "32-bit") << " Windows, but has no wrong-width message; "
                    << "users would see an empty message box (--wrong-width-text)\n";
    if (RefusesSomeWindows(o) && recipe.unsupportedWindowsMessage.empty())
        console.err << kWarn << "this package refuses some Windows versions, but has no unsupported-Windows "
                    << "message; users would see an empty message box (--unsupported-text)\n";
    if (recipe.wrongWidthMessage.find(u"%USER%") != std::u16string::npos ||
        recipe.wrongWidthMessage.find(u"%user%") != std::u16string::npos)
        console.err << kWarn << "%USER% is replaced only in the unsupported-Windows message; "
                    << "the wrong-width message shows it as written\n";

    recipe.refuse64BitWindows = o.refuse64;
    recipe.lzma = o.lzma;
    recipe.allowedWindows = *o.allow;
    recipe.win10MinRelease = o.win10Min;
    recipe.win10MaxRelease = o.win10Max;
    recipe.win11MinRelease = o.win11Min;
    recipe.win11MaxRelease = o.win11Max;
    recipe.elevationMode = o.elevation;
    recipe.minimumFileSize = o.minimumFileSize;

    Bytes package;
    PackageLayout layout;
    try {
        if (!o.engine32.empty()) recipe.engine32 = Pack(console, "the 32-bit engine", engine32, o.lzma);
        if (!o.engine64.empty()) recipe.engine64 = Pack(console, "the 64-bit engine", engine64, o.lzma);
        package = BuildPackage(recipe, &layout);
    } catch (const PackageError& e) {
        throw Failure("cannot build " + o.output + ": " + e.what());
    }
    if (o.minimumFileSize > package.size())
        throw UsageError("--minimum-file-size " + std::to_string(o.minimumFileSize) + " is more than the " +
                         std::to_string(package.size()) + " bytes of the package; the launcher would always "
                         "report it truncated");

    // The launcher's own checks on the finished bytes: a package that would
    // not pass them is never written.
    try {
        VerifyPackage(ParsePackageFile(o.output, package), EngineChoice::kBoth, [](const std::string&) {});
    } catch (const Failure& e) {
        throw Failure(std::string("internal error: the package built would not pass the launcher's checks: ") +
                      e.what());
    }

    std::string error;
    if (!WriteFileAtomically(o.output, package, error)) throw Failure(error);

    const PackageHeader& h = layout.header;
    console.out << o.output << ": " << package.size() << " bytes, package at " << layout.packageOffset << "\n";
    if (recipe.engine32)
        console.out << "  engine32 " << h.engine32.unpackedSize << " -> " << h.engine32.packedSize << " bytes\n";
    if (recipe.engine64)
        console.out << "  engine64 " << h.engine64.unpackedSize << " -> " << h.engine64.packedSize << " bytes\n";
    if (o.refuse64) console.out << "  refuses 64-bit Windows\n";
    console.out << "  checked block " << layout.locator.checkedLength << " bytes, CRC-32 "
                << Hex32(layout.locator.checkedCrc) << "\n";
    return kExitOk;
}
