// mkpackage build: checks every input, packs the engines, lays out the
// package, writes it next to OUT, checks the written file as the launcher
// would and only then puts it under OUT.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <iomanip>
#include <map>
#include <mutex>
#include <new>
#include <sstream>
#include <tuple>

#include "Commands.h"
#include "Concurrency.h"
#include "EmbeddedLaunchers.h"
#include "HostFiles.h"
#include "Options.h"
#include "PackageCheck.h"
#include "PeImage.h"
#include "ResourceSection.h"
#include "SignCommand.h"
#include "TerminalText.h"

const char* const kBuildHelp = R"(usage: mkpackage build (--engine32 FILE | --engine64 FILE | both)
                      --allow VERSIONS [options] -o OUT

Appends a setup package to a copy of the launcher and writes it to OUT.  The
launcher is the 32-bit one built into mkpackage, which runs the 64-bit engine
on 64-bit Windows; --launcher 64 or --stub FILE choose another.  OUT appears
only when it is complete and has passed the launcher's own checks: it is
written to a temporary file in OUT's folder (mkpackage-XXXXXX.tmp, made before
the engines are packed, so that a folder that cannot take OUT is found at
once), checked, flushed and renamed, so an interrupted or failed build leaves
no partial package under OUT and an earlier OUT as it was.  A symbolic link
as OUT is followed: the file it points to is replaced (one that points
nowhere is refused).  An OUT that exists and is no regular file (/dev/null,
a FIFO, NUL) and standard output (-) are written into once the package is
complete, never replaced; a terminal is refused.  A package that could run
on no Windows is refused.  Sign with --sign-command (engines and package in
one build) or sign OUT after the build; never append to a signed file.

Launcher:
  --launcher 32|64       the built-in launcher to use (default 32: stub32.exe)
  --stub FILE            a launcher file instead (stub32.exe or stub64.exe): a PE
                         image whose PE header starts at 256, with bytes 128-151
                         free and no data after its last section (so not signed,
                         no package)
  --icon FILE.ico        the icon users see on the package (an .ico file with one
                         or more images; replaces the launcher's own)
  --version-info KEY=VALUE
                         version information users see in the file's properties;
                         repeatable.  KEY: CompanyName, FileDescription,
                         FileVersion, ProductName, ProductVersion, LegalCopyright,
                         OriginalFilename, InternalName, Comments.  FileVersion
                         and ProductVersion of the form a.b.c.d also set the
                         numeric versions.

Engines and data:
  --engine32 FILE        the 32-bit setup engine (a PE32 i386 image)
  --engine64 FILE        the 64-bit setup engine (a PE32+ x86-64 image)
  --refuse-64bit         no 64-bit engine, and 64-bit Windows is refused with the
                         wrong-width message (needs --engine32, excludes
                         --engine64 and a 64-bit launcher)
  --data FILE            data for the engine, stored after the message texts
  --checked-data N|all   how many leading bytes of --data the CRC-32 covers
                         (needs --data; without it the checksum covers header,
                         engines and texts only)
  An engine must be 1 byte to below 2 GiB; one that is not a PE image of its
  width is packed, with a warning, and so is one larger than the 32-bit
  launcher is known to hold.  Inputs may be pipes (e.g. <(cat e.exe))
  or - for standard input (one of them); a file that changes while it is read
  fails the build.

Where it may run:
  --allow LIST           required; comma-separated Windows versions that may run
                         it: 95 98 me nt4 2000 xp vista 7 8 8.1 10 11 later, or
                         all ('later' = newer or unrecognised versions)
  --win10 MIN-MAX        Windows 10 release codes allowed, YYMM (default 1507-,
                         where 'MIN-' means no upper bound, stored as 9999)
  --win11 MIN-MAX        Windows 11 release codes allowed (default 2110-)

Launch:
  --elevation MODE       what a silent run (/s, /silent) by a standard user on
                         Vista or later does: none (0, default: nothing),
                         runas (1: ask for elevation), noadmin (2: pass /noadmin)
  --minimum-file-size N  size rule on N instead of the package's size, and the
                         launcher neither waits for the engine nor deletes its
                         temporary copy (default 0: off)

Messages (UTF-8 in, stored as UTF-16; at most 65535 UTF-16 units; a file's
UTF-8 byte-order mark and one final line break are dropped; a malformed TEXT
is a usage error):
  --wrong-width-text TEXT | --wrong-width-file FILE
                         shown when the processor width does not suit the package
  --unsupported-text TEXT | --unsupported-file FILE
                         shown on a Windows version not allowed; %USER% (or
                         %user%) is replaced by the name of that version

Signing (Authenticode, with the vendor's own tool):
  --sign-command CMD     sign each engine that carries no signature yet, then the
                         finished package: CMD runs through the system's shell
                         (/bin/sh -c; cmd /c for mkpackage.exe) once per file,
                         with {in} replaced by the file to sign and {out} by
                         where to write the signed file; without {out} it signs
                         {in} in place (as signtool does).  mkpackage quotes
                         both; write them bare.  The paths are also in the
                         variables MKPACKAGE_SIGN_IN and MKPACKAGE_SIGN_OUT.
                         Default: the environment variable
                         MKPACKAGE_SIGN_COMMAND, so that a secret need not be
                         on the command line; unset, nothing is signed.
  An engine is signed on a copy next to OUT (the file given never changes)
  and the signed copy is packed; one that carries a signature already is
  packed as it is.  The package is signed after it passed the launcher's
  checks, and checked again.  The build fails, leaving OUT as it was, when
  the command fails, writes nothing, leaves the file unsigned or changes it
  anywhere but in its checksum and certificate table.  Whether a signature
  is valid is for osslsigncode verify or signtool verify to say.

Compression (raw LZMA1, one setting for both engines):
  --preset 0-9           effort of the match finder (default 6)
  --extreme              slower, sometimes smaller
  --dict SIZE            dictionary size, 4KiB to 1536MiB (default 4MiB); the
                         header states it, the encoder takes no more than the
                         engine is long
  --lc N --lp N --pb N   literal context / position bits (default 3, 0, 2;
                         lc + lp at most 4, pb at most 4)
  --end-marker           write an end-of-stream marker after each engine
  --jobs 1|2             how many engines are signed and packed at once
                         (default 2: side by side, one core each, unless the
                         two encoders together would need more than half of
                         the memory; 1: one after the other).  The package
                         is the same either way.

  -o, --output OUT       the package to write (required; none of the inputs;
                         - for standard output)
  -h, --help             this text

Values may follow their option as the next word or after '=' (--dict=8MiB);
sizes take KiB, MiB or GiB; keywords (all, none, runas, ...) any case.  An
option given twice: the last one counts.  A file name may not be empty.

Examples:
  mkpackage build --engine32 setup32.exe --engine64 setup64.exe \
      --allow 7,8,8.1,10,11,later --win10 1809- \
      --unsupported-text "This program does not run on %USER%." \
      --icon product.ico --version-info CompanyName="Example Ltd" \
      --version-info FileVersion=2.1.0.7 -o MySetup.exe
  mkpackage build --engine32 setup32.exe --refuse-64bit \
      --allow all --wrong-width-text "Please use the 64-bit download." -o Setup32.exe
  mkpackage build --engine32 setup32.exe --engine64 setup64.exe --allow all \
      --sign-command 'osslsigncode sign -pkcs12 vendor.p12 -readpass pass.txt \
                      -ts http://timestamp.example.com -in {in} -out {out}' \
      -o MySetup.exe
  mkpackage build --launcher 64 --engine64 setup64.exe --data payload.bin \
      --checked-data all --allow 10,11,later --elevation runas --preset 9 \
      --extreme --dict 64MiB -o Setup64.exe
)";

namespace {

constexpr uint64_t kLargestStub = 64u << 20;
constexpr uint64_t kLargestText = 1u << 20;
constexpr uint64_t kLargestIcon = 16u << 20;

struct TextSource {
    const char* textOption;
    const char* fileOption;
    std::optional<std::string> text;
    std::optional<std::string> file;
};

struct BuildOptions {
    std::string stub, engine32, engine64, data, output, icon;
    std::optional<int> launcher;
    VersionStrings versionInfo;
    std::vector<std::string> versionWarnings;
    bool refuse64 = false;
    std::optional<std::string> checkedData;
    std::optional<AllowedWindowsSet> allow;
    uint16_t win10Min = 1507, win10Max = 9999, win11Min = 2110, win11Max = 9999;
    uint8_t elevation = 0;
    uint32_t minimumFileSize = 0;
    TextSource wrongWidth{"--wrong-width-text", "--wrong-width-file", {}, {}};
    TextSource unsupported{"--unsupported-text", "--unsupported-file", {}, {}};
    LzmaSettings lzma;
    std::optional<std::string> signCommand;
    unsigned jobs = 2;
    bool help = false;
};

void AddVersionInfo(BuildOptions& o, const std::string& text) {
    const size_t eq = text.find('=');
    const std::string key = text.substr(0, eq);
    const auto known = std::find_if(std::begin(kVersionKeys), std::end(kVersionKeys),
                                    [&](const char* k) { return key == k; });
    if (eq == std::string::npos || known == std::end(kVersionKeys))
        throw UsageError("--version-info needs KEY=VALUE with KEY one of CompanyName, FileDescription, "
                         "FileVersion, ProductName, ProductVersion, LegalCopyright, OriginalFilename, "
                         "InternalName, Comments (as written), not '" + text + "'");
    const std::string value = text.substr(eq + 1);
    try {
        Utf8ToUtf16(value);
    } catch (const PackageError&) {
        throw UsageError("--version-info " + key + ": the value is not valid UTF-8");
    }
    uint32_t ms = 0, ls = 0;
    if ((key == "FileVersion" || key == "ProductVersion") && !ParseFixedVersion(value, ms, ls))
        o.versionWarnings.push_back("--version-info " + key + "=" + value +
                                    " is no version of the form a.b.c.d (numbers up to 65535): it is stored as "
                                    "text, and the numeric " + key + " stays 0.0.0.0");
    // Given twice, the last one counts, as for every option.
    auto it = std::find_if(o.versionInfo.begin(), o.versionInfo.end(),
                           [&](const std::pair<std::string, std::string>& kv) { return kv.first == key; });
    if (it != o.versionInfo.end()) it->second = value;
    else o.versionInfo.emplace_back(key, value);
}

BuildOptions ParseBuildArgs(const std::vector<std::string>& args) {
    BuildOptions o;
    ArgCursor cursor(args);
    while (!cursor.Done()) {
        const std::string opt = cursor.Next();
        auto value = [&] { return cursor.Value(opt); };
        auto file = [&] { return cursor.FileValue(opt); };
        auto flag = [&] { cursor.NoValue(opt); return true; };
        if (opt == "-h" || opt == "--help") o.help = flag();
        else if (opt == "--stub") o.stub = file();
        else if (opt == "--launcher") {
            const std::string v = value();
            if (v != "32" && v != "64") throw UsageError("--launcher needs 32 or 64, not '" + v + "'");
            o.launcher = v == "32" ? 32 : 64;
        }
        else if (opt == "--icon") o.icon = file();
        else if (opt == "--version-info") AddVersionInfo(o, value());
        else if (opt == "--engine32") o.engine32 = file();
        else if (opt == "--engine64") o.engine64 = file();
        else if (opt == "--refuse-64bit") o.refuse64 = flag();
        else if (opt == "--data") o.data = file();
        else if (opt == "--checked-data") {
            o.checkedData = value();
            if (Lower(*o.checkedData) != "all") ParseByteSize(opt, *o.checkedData, 0xFFFFFFFFu);
        }
        else if (opt == "--allow") o.allow = ParseWindowsList(opt, value());
        else if (opt == "--win10") ParseReleaseRange(opt, value(), o.win10Min, o.win10Max);
        else if (opt == "--win11") ParseReleaseRange(opt, value(), o.win11Min, o.win11Max);
        else if (opt == "--elevation") o.elevation = ParseElevation(opt, value());
        else if (opt == "--minimum-file-size")
            o.minimumFileSize = static_cast<uint32_t>(ParseByteSize(opt, value(), 0xFFFFFFFFu));
        else if (opt == "--wrong-width-text") o.wrongWidth.text = value();
        else if (opt == "--wrong-width-file") o.wrongWidth.file = file();
        else if (opt == "--unsupported-text") o.unsupported.text = value();
        else if (opt == "--unsupported-file") o.unsupported.file = file();
        else if (opt == "--preset") o.lzma.preset = static_cast<uint32_t>(ParseUnsigned(opt, value(), 9));
        else if (opt == "--extreme") o.lzma.extreme = flag();
        else if (opt == "--dict") {
            const std::string text = value();
            const uint64_t size = ParseByteSize(opt, text, 0xFFFFFFFFu);
            if (size < 4096) throw UsageError("--dict " + text + " is too small (at least 4KiB)");
            if (size > kLargestEncoderDictionary)
                throw UsageError("--dict " + text + " is too large: the LZMA encoder takes at most 1536MiB");
            o.lzma.dictionarySize = static_cast<uint32_t>(size);
        }
        else if (opt == "--lc") o.lzma.lc = static_cast<uint32_t>(ParseUnsigned(opt, value(), 4));
        else if (opt == "--lp") o.lzma.lp = static_cast<uint32_t>(ParseUnsigned(opt, value(), 4));
        else if (opt == "--pb") o.lzma.pb = static_cast<uint32_t>(ParseUnsigned(opt, value(), 4));
        else if (opt == "--end-marker") o.lzma.endMarker = flag();
        else if (opt == "--jobs") {
            const std::string text = value();
            o.jobs = static_cast<unsigned>(ParseUnsigned(opt, text, 2));
            if (o.jobs == 0) throw UsageError("--jobs " + text + ": give 1 or 2");
        }
        else if (opt == "--sign-command") o.signCommand = value();
        else if (opt == "-o" || opt == "--output") o.output = file();
        else throw UsageError("unknown option " + opt);
    }
    if (o.help) return o;
    cursor.NoOperands();
    if (o.output.empty()) throw UsageError("-o OUT is required");
    if (!o.allow)
        throw UsageError("--allow is required: the Windows versions that may run the package "
                         "(e.g. --allow all, or --allow 7,8,8.1,10,11,later)");
    if (!o.stub.empty() && o.launcher) throw UsageError("--stub and --launcher exclude each other");
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
    if (o.checkedData && o.data.empty())
        throw UsageError("--checked-data " + *o.checkedData + " needs --data FILE");
    return o;
}

// The file inputs, each with its option; absent ones have no path.
std::vector<std::pair<const char*, const std::string*>> InputsOf(const BuildOptions& o) {
    return {
        {"--stub", &o.stub},
        {"--engine32", &o.engine32},
        {"--engine64", &o.engine64},
        {"--data", &o.data},
        {"--icon", &o.icon},
        {o.wrongWidth.fileOption, o.wrongWidth.file ? &*o.wrongWidth.file : nullptr},
        {o.unsupported.fileOption, o.unsupported.file ? &*o.unsupported.file : nullptr},
    };
}

// Standard input can be read once: a second input named "-" would be empty.
void RefuseStandardInputTwice(const BuildOptions& o) {
    const char* first = nullptr;
    for (const auto& [option, path] : InputsOf(o)) {
        if (!path || *path != "-") continue;
        if (first)
            throw UsageError(std::string(first) + " - and " + option +
                             " - both name standard input, which can be read only once");
        first = option;
    }
}

// An input may not be the output: writing OUT would destroy it.  Compared
// by identity, so links and other spellings of one file are caught.
void RefuseOutputAmongInputs(const BuildOptions& o) {
    const std::optional<FileId> out = IdentifyFile(o.output);
    if (!out) return;
    for (const auto& [option, path] : InputsOf(o))
        if (path && !path->empty() && IdentifyFile(*path) == out)
            throw UsageError("-o " + o.output + " is the same file as " + option + " " + *path +
                             ": writing the package would destroy it");
}

std::shared_ptr<const InputFile> OpenInput(const std::string& option, const std::string& path,
                                           uint64_t maxSize = UINT64_MAX, const std::string& tooLarge = {}) {
    return InputFile::Open(path, option + " " + path, maxSize, tooLarge);
}

Bytes CopyOf(const InputFile& file) { return Bytes(file.Data(), file.Data() + file.Size()); }

// A text given on the command line that is malformed is a usage error, as
// any malformed value is; the same fault in a text file is unusable input.
std::u16string ReadText(const TextSource& source) {
    std::string utf8;
    std::string where;
    if (source.text) {
        utf8 = *source.text;
        where = source.textOption;
    } else if (source.file) {
        const auto file = OpenInput(source.fileOption, *source.file, kLargestText, "a message text is shorter");
        utf8.assign(file->Data(), file->Data() + file->Size());
        where = std::string(source.fileOption) + " " + *source.file;
        if (utf8.compare(0, 3, "\xEF\xBB\xBF") == 0) utf8.erase(0, 3);
        if (!utf8.empty() && utf8.back() == '\n') utf8.pop_back();
        if (!utf8.empty() && utf8.back() == '\r') utf8.pop_back();
    } else {
        return {};
    }
    auto refuse = [&](const std::string& why) -> std::u16string {
        if (source.text) throw UsageError(where + ": " + why);
        throw Failure(where + ": " + why);
    };
    std::u16string text;
    try {
        text = Utf8ToUtf16(utf8);
    } catch (const PackageError&) {
        return refuse("the text is not valid UTF-8");
    }
    if (text.size() > 0xFFFF)
        return refuse("the text is " + CountText(text.size(), "UTF-16 unit", "UTF-16 units") +
                      " long; a message holds at most 65535");
    return text;
}

void Warn(Console& console, const std::string& text) { PrintLine(console.err, "mkpackage build: warning: " + text); }

// Engines are opaque to the launcher, but a file that is no PE image of the
// right width is almost always a wrong path on the command line.
void WarnAboutEngine(Console& console, const char* option, const std::string& path, const InputFile& engine,
                     uint16_t wantMachine) {
    PeInfo info;
    std::string error;
    if (!ParsePeHeaders(engine.Data(), engine.Size(), info, error)) {
        Warn(console, std::string(option) + " " + path + ": " + error + "; packing it anyway");
        return;
    }
    if (info.machine != wantMachine) {
        char machine[8];
        std::snprintf(machine, sizeof machine, "0x%x", info.machine);
        Warn(console, std::string(option) + " " + path + " is a " + (info.pe32Plus ? "PE32+" : "PE32") +
                          " image for machine " + machine + ", not " + (wantMachine == 0x14c ? "i386" : "x86-64"));
    }
}

// Compression progress on a terminal, for one or both engines (packed side
// by side) on one line, redrawn as either moves: "compressing the 32-bit
// engine (40.0 MiB): 35%, the 64-bit engine (41.2 MiB): 31%".
class PackingProgress {
public:
    explicit PackingProgress(Console& console) : console_(console) {}
    ~PackingProgress() {
        if (drawn_) console_.err << "\n" << std::flush;
    }
    // The callback for one engine; none for a small one or no terminal.
    ProgressFn For(int slot, const std::string& label, uint64_t total) {
        if (!console_.errIsTerminal || total < (1u << 20)) return {};
        slots_[slot] = Slot{label, total, 0, true};
        return [this, slot](uint64_t done, uint64_t) {
            const std::lock_guard<Mutex> lock(mutex_);
            slots_[slot].done = done;
            Draw();
        };
    }

private:
    struct Slot {
        std::string label;
        uint64_t total = 0, done = 0;
        bool active = false;
    };
    void Draw() {
        std::ostringstream line;
        line << std::fixed << std::setprecision(1) << "mkpackage: compressing ";
        bool first = true;
        for (const Slot& s : slots_) {
            if (!s.active) continue;
            line << (first ? "" : ", ") << s.label << " (" << s.total / 1048576.0
                 << " MiB): " << (s.total ? 100 * s.done / s.total : 100) << "%";
            first = false;
        }
        std::string text = line.str();
        // Spaces over what a longer line before left.
        const size_t length = text.size();
        if (length < width_) text.append(width_ - length, ' ');
        width_ = std::max(width_, length);
        console_.err << "\r" << text << std::flush;
        drawn_ = true;
    }

    Console& console_;
    Mutex mutex_;
    Slot slots_[2];
    size_t width_ = 0;
    bool drawn_ = false;
};

// One engine's way into the package: signed when asked and not signed
// already, then packed.  The two engines go their ways side by side: raw
// LZMA1 packs one stream on one core, and a sign command often waits on a
// timestamp server.
struct EngineJob {
    const char* option;                     // "--engine32"
    const std::string* path;
    std::shared_ptr<const InputFile> engine;
    int slot;
    std::string label;                      // "the 32-bit engine"
    // What happened:
    std::shared_ptr<const InputFile> source;  // what is packed: the engine, or its signed copy
    std::optional<PayloadInput> packed;
    bool signedHere = false, signedAlready = false;
    std::exception_ptr error;

    EngineJob(const char* option_, const std::string* path_, std::shared_ptr<const InputFile> engine_, int slot_,
              std::string label_)
        : option(option_), path(path_), engine(std::move(engine_)), slot(slot_), label(std::move(label_)) {}
};

// Thrown by a progress callback to stop packing one engine when the other
// one has failed: the build fails anyway.
struct PackingStopped {};

// One engine signed (once) and packed.  Alone, no other engine is packed
// meanwhile and running out of memory is final; beside the other, it
// leaves the job for a second try alone.
void RunEngineJob(EngineJob& job, Signer* signer, const LzmaSettings& lzma, PackingProgress& progress,
                  std::atomic<bool>& failed, bool alone) {
    try {
        const std::string what = std::string(job.option) + " " + *job.path;
        if (!job.source) {
            std::shared_ptr<const InputFile> source = job.engine;
            const InputFile& e = *job.engine;
            if (signer && CertificateTableOf(e.Data(), e.Size())) {
                job.signedAlready = true;
            } else if (signer) {
                source = signer->SignEngine(e, what);
                job.signedHere = true;
            }
            job.source = std::move(source);
        }
        if (failed) return;
        const InputFile& source = *job.source;
        ProgressFn shown = progress.For(job.slot, job.label, source.Size());
        const ProgressFn fn = [&failed, shown](uint64_t done, uint64_t total) {
            if (failed) throw PackingStopped{};
            if (shown) shown(done, total);
        };
        PayloadInput in;
        try {
            in.prepacked = CompressLzma1(source.Data(), static_cast<size_t>(source.Size()), lzma, fn);
        } catch (const std::bad_alloc&) {
            if (!alone) return;  // neither packed nor failed: tried again alone
            throw Failure("out of memory while compressing " + what + " (" +
                          CountText(source.Size(), "byte", "bytes") + ")");
        }
        in.unpackedSizeOverride = static_cast<uint32_t>(source.Size());
        job.packed = std::move(in);
    } catch (const PackingStopped&) {
    } catch (...) {
        job.error = std::current_exception();
        failed = true;
    }
}

// Whether two engines are packed side by side: unless asked not to, or the
// two encoders together would need more than half of the memory this
// process may use (one after the other, each may take it all; the rest is
// for the engines themselves and the package).
bool PackSideBySide(const std::vector<EngineJob>& jobs, unsigned allowed, const LzmaSettings& lzma) {
    if (jobs.size() < 2 || allowed < 2) return false;
    uint64_t need = 0;
    for (const EngineJob& job : jobs) need += Lzma1EncoderMemory(static_cast<size_t>(job.engine->Size()), lzma);
    const uint64_t memory = MemoryForThisProcess();
    return memory == 0 || need <= memory / 2;
}

// Runs the jobs, side by side when there are two and room for both;
// rethrows the first failure (in the order of the jobs).  The estimate of
// room is the encoders' own; what else the process takes (a thread's
// stack and heap, the packed output) is not in it, so an engine that ran
// out of memory beside the other is packed once more, alone: the package
// is the same either way.
void RunEngineJobs(std::vector<EngineJob>& jobs, Signer* signer, const LzmaSettings& lzma, unsigned allowed,
                   Console& console) {
    PackingProgress progress(console);
    std::atomic<bool> failed{false};
    if (PackSideBySide(jobs, allowed, lzma)) {
        std::vector<std::function<void()>> tasks;
        for (EngineJob& job : jobs)
            tasks.push_back(
                [&job, signer, &lzma, &progress, &failed] { RunEngineJob(job, signer, lzma, progress, failed, false); });
        RunSideBySide(tasks);
    }
    for (EngineJob& job : jobs)
        if (!job.packed && !job.error && !failed) {
            RunEngineJob(job, signer, lzma, progress, failed, true);
        }
    for (const EngineJob& job : jobs)
        if (job.error) std::rethrow_exception(job.error);
}

bool RefusesSomeWindows(const BuildOptions& o) {
    for (const WindowsName& n : WindowsNames())
        if (!o.allow->Contains(n.element)) return true;
    return o.win10Min > 1507 || o.win10Max < 9999 || o.win11Min > 2110 || o.win11Max < 9999;
}

struct Launcher {
    Bytes bytes;
    std::string name;  // for messages: "--stub FILE" or "the built-in stub32.exe"
    std::string shown;  // for the summary: "FILE" or "built-in stub32.exe"
    bool x64 = false;
};

// The launcher's bytes, with the vendor's icon and version information.
Launcher LauncherFor(const BuildOptions& o) {
    Launcher launcher;
    Bytes& stub = launcher.bytes;
    if (!o.stub.empty()) {
        stub = CopyOf(*OpenInput("--stub", o.stub, kLargestStub, "a launcher is a small program"));
        launcher.name = "--stub " + o.stub;
        launcher.shown = o.stub;
        const std::string problem = CheckStub(stub);
        if (!problem.empty()) throw Failure(launcher.name + " cannot carry a package: " + problem);
    } else {
        const EmbeddedLauncher* builtIn = BuiltInLauncher(o.launcher.value_or(32) == 64);
        if (!builtIn)
            throw UsageError("this mkpackage was built without launchers inside: give --stub FILE");
        stub.assign(builtIn->data, builtIn->data + builtIn->size);
        launcher.name = std::string("the built-in ") + builtIn->name;
        launcher.shown = std::string("built-in ") + builtIn->name;
    }
    PeInfo info;
    std::string error;
    launcher.x64 = ParsePe(stub, info, error) && info.machine == 0x8664;
    if (o.icon.empty() && o.versionInfo.empty()) return launcher;

    ResourceUpdate update;
    if (!o.icon.empty()) {
        const auto file = OpenInput("--icon", o.icon, kLargestIcon, "an icon file is smaller");
        std::vector<IconImage> images;
        if (!ParseIco(CopyOf(*file), images, error)) throw Failure("--icon " + o.icon + ": " + error);
        update.icon = std::move(images);
    }
    if (!o.versionInfo.empty()) {
        Bytes resource;
        if (!BuildVersionResource(o.versionInfo, resource, error)) throw UsageError("--version-info: " + error);
        update.version = o.versionInfo;
    }
    if (!UpdateResources(stub, update, error))
        throw Failure("cannot set the icon or version information of " + launcher.name + ": " + error);
    return launcher;
}

// Writes the package into an output file.
class OutputSink final : public PackageSink {
public:
    explicit OutputSink(OutputFile& out) : out_(out) {}
    void Write(const uint8_t* data, size_t size) override { out_.Write(data, size); }

private:
    OutputFile& out_;
};

int BuildPackage(const BuildOptions& o, const std::optional<std::string>& signCommand, Console& console);

}  // namespace

int RunBuild(const std::vector<std::string>& args, Console& console) {
    const BuildOptions o = ParseBuildArgs(args);
    if (o.help) {
        console.out << kBuildHelp;
        return kExitOk;
    }
    const std::optional<std::string> signCommand = ChooseSignCommand(o.signCommand);
    try {
        return BuildPackage(o, signCommand, console);
    } catch (const SignFailure& e) {
        // The command's own words, after what failed: most often the reason.
        PrintLine(console.err, std::string("mkpackage build: ") + e.what());
        std::istringstream said(e.Output());
        std::string line;
        bool any = false;
        while (std::getline(said, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            PrintLine(console.err, "  | " + line);
            any = true;
        }
        if (!any) console.err << "  (it printed nothing)\n";
        return kExitFailure;
    }
}

namespace {

int BuildPackage(const BuildOptions& o, const std::optional<std::string>& signCommand, Console& console) {
    RefuseStandardInputTwice(o);
    RefuseOutputAmongInputs(o);
    for (const std::string& warning : o.versionWarnings) Warn(console, warning);

    PackageRecipe recipe;
    Launcher launcher = LauncherFor(o);
    recipe.stub = std::move(launcher.bytes);
    // A 64-bit launcher runs only on 64-bit Windows, which such a package
    // refuses: it could run nowhere.
    if (launcher.x64 && o.refuse64)
        throw UsageError("--refuse-64bit with " + launcher.name +
                         ", a 64-bit launcher: it runs only on 64-bit Windows, which the package refuses, so the "
                         "package could run nowhere (use the 32-bit launcher)");
    if (const std::string nowhere = RunsNowhereReason(launcher.x64, !o.engine32.empty(), o.refuse64, *o.allow);
        !nowhere.empty())
        throw UsageError("this package could run nowhere: " + nowhere + " (see --allow, --engine32, --engine64, "
                         "--refuse-64bit)");

    // Sizes first: nothing big is read before every input is known to fit.
    const std::string kEngineLimit = "an engine must be smaller than 2 GiB";
    std::shared_ptr<const InputFile> engine32, engine64, data;
    auto openEngine = [&](const char* option, const std::string& path) {
        auto engine = OpenInput(option, path, 0x7FFFFFFFu, kEngineLimit);
        if (engine->Size() == 0)
            throw Failure(std::string(option) + " " + path + " is empty: an engine must be a program");
        return engine;
    };
    if (!o.engine32.empty()) engine32 = openEngine("--engine32", o.engine32);
    if (!o.engine64.empty()) engine64 = openEngine("--engine64", o.engine64);
    if (!o.data.empty()) {
        // The whole package stays below 4 GiB, so its offsets fit the format.
        const uint64_t room = 0xFFFFFFFFu - recipe.stub.size() - kHeaderSize;
        data = OpenInput("--data", o.data, room, "the whole package must stay below 4 GiB");
        recipe.engineData = Blob(data, data->Data(), static_cast<size_t>(data->Size()));
    }
    if (engine32) WarnAboutEngine(console, "--engine32", o.engine32, *engine32, 0x14c);
    if (engine64) WarnAboutEngine(console, "--engine64", o.engine64, *engine64, 0x8664);
    // Said before the engines are packed, which takes minutes at this size.
    if (!launcher.x64)
        for (const auto& [option, path, engine] : {std::make_tuple("--engine32", &o.engine32, engine32.get()),
                                                   std::make_tuple("--engine64", &o.engine64, engine64.get())})
            if (engine)
                if (const std::string large = EngineSizeWarning(std::string(option) + " " + *path, engine->Size());
                    !large.empty())
                    Warn(console, large);

    if (o.checkedData) {
        const uint64_t n = Lower(*o.checkedData) == "all" ? recipe.engineData.size()
                                                   : ParseByteSize("--checked-data", *o.checkedData, 0xFFFFFFFFu);
        if (n > recipe.engineData.size())
            throw UsageError("--checked-data " + *o.checkedData + " is more than the " +
                             CountText(recipe.engineData.size(), "byte", "bytes") + " of --data " + o.data);
        if (!ChecksumCoversLength(static_cast<uint32_t>(std::min<uint64_t>(n, 0xFFFFFFFFu))))
            throw UsageError("--checked-data " + *o.checkedData +
                             ": the launcher's checksum covers less than 2 GiB; check less of --data");
        recipe.checkedDataBytes = static_cast<uint32_t>(n);
    }

    recipe.wrongWidthMessage = ReadText(o.wrongWidth);
    recipe.unsupportedWindowsMessage = ReadText(o.unsupported);
    const bool widthCanBeWrong = o.refuse64 || o.engine32.empty();
    if (widthCanBeWrong && recipe.wrongWidthMessage.empty())
        Warn(console, std::string("this package refuses ") + (o.refuse64 ? "64-bit" : "32-bit") +
                          " Windows, but has no wrong-width message; users would see an empty message box "
                          "(--wrong-width-text)");
    if (RefusesSomeWindows(o) && recipe.unsupportedWindowsMessage.empty())
        Warn(console, "this package refuses some Windows versions, but has no unsupported-Windows message; "
                      "users would see an empty message box (--unsupported-text)");
    if (recipe.wrongWidthMessage.find(u"%USER%") != std::u16string::npos ||
        recipe.wrongWidthMessage.find(u"%user%") != std::u16string::npos)
        Warn(console, "%USER% is replaced only in the unsupported-Windows message; the wrong-width message shows "
                      "it as written");

    recipe.refuse64BitWindows = o.refuse64;
    recipe.lzma = o.lzma;
    recipe.allowedWindows = *o.allow;
    recipe.win10MinRelease = o.win10Min;
    recipe.win10MaxRelease = o.win10Max;
    recipe.win11MinRelease = o.win11Min;
    recipe.win11MaxRelease = o.win11Max;
    recipe.elevationMode = o.elevation;
    recipe.minimumFileSize = o.minimumFileSize;
    recipe.setPeChecksum = true;

    // OUT is made now, so that a folder that cannot take it is found before
    // minutes of compression, not after.
    OutputFile out(o.output);
    // Signed copies go next to OUT's temporary file.
    std::optional<Signer> signer;
    if (signCommand) signer.emplace(*signCommand, FolderOf(out.TemporaryPath()));
    std::vector<EngineJob> jobs;
    if (engine32) jobs.push_back(EngineJob{"--engine32", &o.engine32, engine32, 0, "the 32-bit engine"});
    if (engine64) jobs.push_back(EngineJob{"--engine64", &o.engine64, engine64, 1, "the 64-bit engine"});
    RunEngineJobs(jobs, signer ? &*signer : nullptr, o.lzma, o.jobs, console);
    for (EngineJob& job : jobs) (job.slot == 0 ? recipe.engine32 : recipe.engine64) = std::move(job.packed);

    // The finished size and checked block are known now that the engines
    // are packed.
    uint64_t packageSize = recipe.stub.size() + kHeaderSize + 2ull * recipe.wrongWidthMessage.size() +
                           2ull * recipe.unsupportedWindowsMessage.size() + recipe.engineData.size();
    uint64_t checkedLength = packageSize - recipe.stub.size() - recipe.engineData.size() + recipe.checkedDataBytes;
    for (const auto* engine : {&recipe.engine32, &recipe.engine64})
        if (*engine) {
            packageSize += (*engine)->prepacked->size();
            checkedLength += (*engine)->prepacked->size();
        }
    if (packageSize > 0xFFFFFFFFu)
        throw Failure("the package would be " + CountText(packageSize, "byte", "bytes") +
                      "; it must stay below 4 GiB (--data " + o.data + " and the packed engines)");
    if (!ChecksumCoversLength(static_cast<uint32_t>(checkedLength)))
        throw UsageError("--checked-data " + o.checkedData.value_or("0") + ": the checked block would be " +
                         CountText(checkedLength, "byte", "bytes") +
                         ", and the launcher's checksum covers less than 2 GiB; check less of --data");
    if (o.minimumFileSize > packageSize)
        throw UsageError("--minimum-file-size " + std::to_string(o.minimumFileSize) + " is more than the " +
                         CountText(packageSize, "byte", "bytes") + " of the package; the launcher would always "
                         "report it truncated");

    PackageLayout layout;
    try {
        OutputSink sink(out);
        WritePackage(recipe, sink, &layout);
    } catch (const PackageError& e) {
        throw Failure("cannot build " + o.output + ": " + e.what());
    }
    out.Finish();
    // The launcher's own checks on the written bytes: a package that would
    // not pass them never appears under OUT.
    try {
        VerifyPackage(LoadPackageFile(out.TemporaryPath()), EngineChoice::kBoth, CheckReport{});
    } catch (const Failure& e) {
        throw Failure(std::string("internal error: the package built would not pass the launcher's checks: ") +
                      e.what());
    }
    // Signed last, once it is known to be sound; checked again.
    uint64_t signedSize = 0;
    if (signer) signedSize = signer->SignPackage(out, "the package");
    // An input another program wrote while it was packed made a package of
    // neither version.
    for (const auto* input : {&engine32, &engine64, &data})
        if (*input) (*input)->CheckUnchanged();
    out.Commit();

    // What was built, where it does not mix with the package itself.
    std::ostream& said = out.IsStandardOutput() ? console.err : console.out;
    const PackageHeader& h = layout.header;
    PrintLine(said, o.output + ": " + CountText(packageSize, "byte", "bytes") + ", package at " +
                               std::to_string(layout.packageOffset) + ", launcher " + launcher.shown +
                               (o.icon.empty() && o.versionInfo.empty() ? "" : " (with the vendor's resources)"));
    for (const EngineJob& job : jobs) {
        const PayloadEntry& e = job.slot == 0 ? h.engine32 : h.engine64;
        said << "  engine" << (job.slot == 0 ? "32 " : "64 ") << e.unpackedSize << " -> " << e.packedSize << " bytes"
             << (job.signedHere ? ", signed by the sign command" : job.signedAlready ? ", signed already" : "") << "\n";
    }
    if (o.refuse64) said << "  refuses 64-bit Windows\n";
    said << "  checked block " << CountText(layout.locator.checkedLength, "byte", "bytes") << ", CRC-32 "
         << Hex32(layout.locator.checkedCrc) << "\n";
    if (signer)
        said << "  signed by the sign command: " << CountText(signedSize, "byte", "bytes") << " with its signature\n";
    return kExitOk;
}

}  // namespace
