#include "PackageCheck.h"

#include <lzma.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "CRC32/CRC32.h"
#include "HostFiles.h"
#include "NoRTLStream/StubMemory.h"
#include "Options.h"
#include "PeImage.h"
#include "lzma/LzmaDecodeLoop.h"

// The launcher's memory stream and decoder end the process through this
// hook when memory runs out; here that is an error like any other.
void OutOfMemory() { throw Failure("out of memory"); }

namespace {

uint32_t LittleEndian32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24);
}

// Whether [offset, offset + length) lies inside the file.
bool Inside(const PackageFile& file, uint64_t offset, uint64_t length) {
    return offset <= file.Size() && length <= file.Size() - offset;
}

[[noreturn]] void Fail(const PackageFile& file, const std::string& reason) {
    throw Failure(file.path + ": " + reason);
}

// The PE headers of the file.  They lie at its start; the sections are not
// needed here, so a mapped file of gigabytes is not copied.
bool ReadPeHeaders(const PackageFile& file, PeInfo& info) {
    std::string error;
    return ParsePeHeaders(file.bytes.data(), file.Size(), info, error);
}

void CheckPayload(const PackageFile& file, const char* name, const PayloadEntry& entry, const CheckReport& report,
                  const std::function<void(const uint8_t*, size_t)>& take) {
    const std::string field = std::string("header field ") + name;
    const std::string problem = PayloadProblem(file, name, entry);
    if (!problem.empty()) Fail(file, problem);
    // Decoded by the launcher's own decoder, judged as the launcher judges:
    // by the size alone.
    const PayloadDecoding d = DecodePayload(file, entry, take);
    if (d.produced != entry.unpackedSize)
        Fail(file, field + ": the LZMA stream decodes to " + CountText(d.produced, "byte", "bytes") + ", not " +
                       std::to_string(entry.unpackedSize) + " (unpackedSize)" +
                       (d.ended ? "" : ": it is corrupt or ends too early"));
    report.ok(std::string(name) + ": " + CountText(entry.packedSize, "packed byte", "packed bytes") +
              " at offset " + std::to_string(entry.offset) + " decode to exactly " +
              CountText(entry.unpackedSize, "byte", "bytes"));
    const std::string cut = CutEngineWarning(name, entry, d);
    if (!cut.empty()) report.warn(cut);
    // Windows' elevation prompt names the publisher of the engine's copy,
    // not of the package: a signed package with an unsigned engine asks
    // users to trust "Unknown publisher".
    if (!d.certificates && FindCertificateTable(file)) report.warn(UnsignedEngineWarning(name));
}

void CheckMessage(const PackageFile& file, const char* name, const MessageRef& ref, const CheckReport& report) {
    if (ref.length == 0) {
        report.ok(std::string(name) + ": empty");
        return;
    }
    if (!Inside(file, ref.offset, 2ull * ref.length))
        Fail(file, std::string("header field ") + name + ": the text (offset " + std::to_string(ref.offset) +
                       ", " + CountText(ref.length, "UTF-16 unit", "UTF-16 units") +
                       ") runs past the end of the file (" + CountText(file.Size(), "byte", "bytes") + ")");
    report.ok(std::string(name) + ": " + CountText(ref.length, "UTF-16 unit", "UTF-16 units") + " at offset " +
              std::to_string(ref.offset));
}

}  // namespace

PackageFile ParsePackageFile(std::string path, Blob bytes) {
    PackageFile file;
    file.path = std::move(path);
    file.bytes = std::move(bytes);
    if (file.Size() >= kLocatorOffset + kLocatorSize) {
        uint8_t raw[kLocatorSize];
        std::memcpy(raw, file.bytes.data() + kLocatorOffset, kLocatorSize);
        file.locator = ParseLocator(raw);
        file.hasLocator = true;
    }
    if (file.hasLocator && file.locator.packageOffset != 0 && Inside(file, file.locator.packageOffset, kHeaderSize)) {
        uint8_t raw[kHeaderSize];
        std::memcpy(raw, file.bytes.data() + file.locator.packageOffset, kHeaderSize);
        file.header = ParseHeader(raw);
        file.hasHeader = true;
    }
    return file;
}

PackageFile LoadPackageFile(const std::string& path) {
    // The largest file the first bytes of a stream can begin: the package
    // they announce (below 4 GiB), with the certificate table after it.
    const auto bound = [&](const uint8_t* head, size_t size) -> uint64_t {
        const PackageFile start = ParsePackageFile(path, Blob(nullptr, head, size));
        const std::string reason = NoPackageReason(start);
        if (!reason.empty()) throw Failure(path + ": " + reason);
        uint64_t end = std::max<uint64_t>(static_cast<uint64_t>(start.locator.ExpectedFileSize()),
                                          start.locator.minimumFileSize);
        if (const auto table = FindCertificateTable(start)) end = std::max(end, table->offset + table->size);
        return end;
    };
    const std::shared_ptr<const InputFile> input = InputFile::OpenBounded(path, bound);
    PackageFile file = ParsePackageFile(path, Blob(input, input->Data(), static_cast<size_t>(input->Size())));
    file.input = input;
    file.streamCut = input->Cut();
    return file;
}

void CheckUnchanged(const PackageFile& file) {
    if (file.input) file.input->CheckUnchanged();
}

std::string NoPackageReason(const PackageFile& file) {
    if (!file.hasLocator)
        return "no package: the file is " + CountText(file.Size(), "byte", "bytes") +
               " long, too short for a package locator at bytes 128-151";
    PeInfo pe;
    if (!ReadPeHeaders(file, pe)) return "no package: the file is no Windows program (no PE image)";
    if (pe.peOffset < kLocatorOffset + kLocatorSize)
        return "no package: its PE header starts at " + std::to_string(pe.peOffset) +
               ", over bytes 128-151 where a package's locator would be (a program, not a package)";
    const PackageLocator& l = file.locator;
    if (l.packageOffset == 0) return "no package: locator field packageOffset is 0 (a launcher without a package?)";
    if (l.packageOffset < pe.imageEnd)
        return "no package: locator field packageOffset " + std::to_string(l.packageOffset) +
               " lies inside the launcher image, which ends at " + std::to_string(pe.imageEnd);
    // A package is built below 4 GiB, with its header inside it.
    if (l.expectedSizeHigh != 0 || uint64_t{l.packageOffset} + kHeaderSize > l.expectedSizeLow)
        return "no package: the locator contradicts itself (packageOffset " + std::to_string(l.packageOffset) +
               ", expectedFileSize " + std::to_string(l.ExpectedFileSize()) + ")";
    return {};
}

bool SizeRulePasses(const PackageFile& file) { return !IsTruncated(file.locator, file.Size()); }

std::optional<uint32_t> CheckedBlockCrc(const PackageFile& file) {
    const uint32_t length = file.locator.checkedLength;
    if (!Inside(file, file.locator.packageOffset, length)) return std::nullopt;
    if (!ChecksumCoversLength(length)) return 0;
    return Crc32Update(0, file.bytes.data() + file.locator.packageOffset, length);
}

std::optional<std::u16string> MessageText(const PackageFile& file, const MessageRef& ref) {
    if (!Inside(file, ref.offset, 2ull * ref.length)) return std::nullopt;
    std::u16string text(ref.length, u'\0');
    const uint8_t* p = file.bytes.data() + ref.offset;
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char16_t>(p[2 * i] | p[2 * i + 1] << 8);
    return text;
}

std::optional<CertificateTable> CertificateTableOf(const uint8_t* head, size_t headSize, uint64_t fileSize) {
    PeInfo pe;
    std::string error;
    if (!ParsePeHeaders(head, headSize, pe, error) || pe.directories.size() <= 4) return std::nullopt;
    const PeDirectory& security = pe.directories[4];  // a file offset, not an RVA
    if (security.rva == 0 || security.size == 0 || uint64_t{security.rva} + security.size > fileSize)
        return std::nullopt;
    return CertificateTable{security.rva, security.size};
}

std::optional<CertificateTable> FindCertificateTable(const PackageFile& file) {
    PeInfo pe;
    if (!ReadPeHeaders(file, pe) || pe.directories.size() <= 4) return std::nullopt;
    const PeDirectory& security = pe.directories[4];  // a file offset, not an RVA
    if (security.rva == 0 || security.size == 0) return std::nullopt;
    return CertificateTable{security.rva, security.size};
}

std::string UnsignedEngineWarning(const char* name) {
    return std::string(name) + " is not signed: Windows' elevation prompt for it will show 'Unknown publisher'";
}

LzmaProperties PropertiesOf(const PackageHeader& header) {
    LzmaProperties p;
    p.byte0 = header.lzmaProperties[0];
    p.lc = p.byte0 % 9;
    p.lp = (p.byte0 / 9) % 5;
    p.pb = p.byte0 / 45;
    p.dictionary = LittleEndian32(header.lzmaProperties + 1);
    return p;
}

std::string LzmaPropertiesProblem(const LzmaProperties& p) {
    const std::string byte0 = std::to_string(p.byte0);
    if (p.byte0 >= 225) return "header byte 0 (LZMA properties) is " + byte0 + ", not below 225";
    if (p.dictionary >= 0x80000000u)
        return "header bytes 1-4 (LZMA dictionary size) " + std::to_string(p.dictionary) + " are 2^31 or more";
    if (p.lc + p.lp > 4)
        return "header byte 0 (LZMA properties) " + byte0 + " means lc " + std::to_string(p.lc) + " + lp " +
               std::to_string(p.lp) + " > 4, which the decoder cannot handle";
    return {};
}

std::string PayloadProblem(const PackageFile& file, const char* name, const PayloadEntry& entry) {
    const std::string field = std::string("header field ") + name;
    // The launcher takes both sizes as signed 32-bit counts.
    if (entry.packedSize >= 0x80000000u)
        return field + ".packedSize " + std::to_string(entry.packedSize) + " is 2 GiB or more";
    if (entry.unpackedSize >= 0x80000000u)
        return field + ".unpackedSize " + std::to_string(entry.unpackedSize) + " is 2 GiB or more";
    if (entry.unpackedSize == 0)
        return field + ".unpackedSize is 0: the launcher would write an empty file for the engine, which cannot start";
    if (!Inside(file, entry.offset, entry.packedSize))
        return field + ": the packed stream (offset " + std::to_string(entry.offset) + ", packedSize " +
               std::to_string(entry.packedSize) + ") runs past the end of the file (" +
               CountText(file.Size(), "byte", "bytes") + ")";
    return {};
}

std::string CutEngineWarning(const char* name, const PayloadEntry& entry, const PayloadDecoding& decoding) {
    if (decoding.produced != entry.unpackedSize) return {};
    if (decoding.streamGoesOn)
        return std::string(name) + ": the LZMA stream goes on after unpackedSize (" +
               CountText(entry.unpackedSize, "byte", "bytes") + "): the launcher would run a cut engine";
    if (decoding.packedAfterEnd)
        return std::string(name) + ": " +
               CountText(decoding.packedAfterEnd, "packed byte follows", "packed bytes follow") +
               " the end of the LZMA stream, inside packedSize; the launcher never reads them (if they are more of "
               "the engine, the launcher would run a cut engine)";
    return {};
}

namespace {

// What follows unpackedSize bytes of the stream.  liblzma's LZMA1 decoder,
// told the size, decodes to it and then demands that the stream end: its
// range coder finished, or an end marker next.  A stream holding more fails
// that, however few bytes more; one that ends leaves the bytes after its end
// unread.
void ExamineStreamEnd(const PackageFile& file, const PayloadEntry& entry, PayloadDecoding& result) {
    const LzmaProperties p = PropertiesOf(file.header);
    lzma_options_lzma options{};
    // The launcher's window: the dictionary, but no more than the engine,
    // and at least 4096 bytes.
    options.dict_size = std::max<uint32_t>(std::min(p.dictionary, entry.unpackedSize), 4096);
    options.lc = p.lc;
    options.lp = p.lp;
    options.pb = p.pb;
    options.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
    options.ext_size_low = entry.unpackedSize;
    const lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream strm = LZMA_STREAM_INIT;
    const lzma_ret init = lzma_raw_decoder(&strm, filters);
    if (init == LZMA_MEM_ERROR) OutOfMemory();
    if (init != LZMA_OK) return;
    uint8_t chunk[1 << 16];
    strm.next_in = file.bytes.data() + entry.offset;
    strm.avail_in = entry.packedSize;
    uint64_t produced = 0;
    lzma_ret ret = LZMA_OK;
    for (;;) {
        strm.next_out = chunk;
        strm.avail_out = sizeof chunk;
        const size_t inBefore = strm.avail_in;
        ret = lzma_code(&strm, LZMA_RUN);
        produced += sizeof chunk - strm.avail_out;
        if (ret != LZMA_OK || (strm.avail_out == sizeof chunk && strm.avail_in == inBefore)) break;
    }
    if (ret == LZMA_STREAM_END) result.packedAfterEnd = strm.avail_in;
    else if (ret == LZMA_MEM_ERROR) OutOfMemory();
    // An error once the whole engine is out: the stream holds more.  (One
    // that runs out of packed bytes there lacks only its closing bytes.)
    else if (ret != LZMA_OK && produced == entry.unpackedSize) result.streamGoesOn = true;
    lzma_end(&strm);
}

}  // namespace

PayloadDecoding DecodePayload(const PackageFile& file, const PayloadEntry& entry,
                              const std::function<void(const uint8_t*, size_t)>& take) {
    PayloadDecoding result;
    TLZMADecoder decoder;
    decoder.SetProperties(file.header.lzmaProperties, 5);
    if (entry.unpackedSize == 0) {
        result.ended = true;
        return result;
    }
    // The launcher's decoder, with the launcher's window (outSize), asked
    // for one byte more than the engine: only the engine goes on to take,
    // and the byte tells whether the stream may hold more.
    const int64_t engine = entry.unpackedSize;
    int64_t given = 0;
    // The engine's headers, for its own signature.
    std::vector<uint8_t> head;
    const TLZMARun run = decoder.DecodeTo(file.bytes.data() + entry.offset, entry.packedSize, engine + 1, engine,
                                          [&](const uint8_t* chunk, int32_t n) {
                                              const int64_t kept = std::min<int64_t>(n, engine - given);
                                              if (kept > 0 && head.size() < kPeHeadSpan)
                                                  head.insert(head.end(), chunk,
                                                              chunk + std::min<size_t>(static_cast<size_t>(kept),
                                                                                       kPeHeadSpan - head.size()));
                                              if (take && kept > 0) take(chunk, static_cast<size_t>(kept));
                                              given += kept;
                                          });
    result.produced = static_cast<uint64_t>(std::min<int64_t>(run.produced, engine));
    if (result.produced == static_cast<uint64_t>(engine))
        result.certificates = CertificateTableOf(head.data(), head.size(), result.produced);
    // Where the launcher stops, at unpackedSize, is an end it accepts.
    result.ended = run.ok || run.produced >= engine;
    result.packedLeft = entry.packedSize - run.consumed;
    if (run.produced > engine) {
        // One more byte came: more engine, or what the range coder's closing
        // bytes decode to after the end of a stream without an end marker.
        // Only the stream's own end can tell.
        ExamineStreamEnd(file, entry, result);
    } else if (run.produced == engine && run.ok) {
        result.packedAfterEnd = entry.packedSize - run.consumed;  // the end marker came next
    }
    return result;
}

void VerifyPackage(const PackageFile& file, EngineChoice choice, const CheckReport& report,
                   const std::function<void(const uint8_t*, size_t)>& engine) {
    const PackageLocator& l = file.locator;
    const uint64_t size = file.Size();
    const std::string noPackage = NoPackageReason(file);
    if (!noPackage.empty()) Fail(file, noPackage);
    report.ok("locator: package at offset " + std::to_string(l.packageOffset));

    if (l.minimumFileSize != 0) {
        if (!SizeRulePasses(file))
            Fail(file, "size rule: locator field minimumFileSize is " + std::to_string(l.minimumFileSize) +
                           " but the file is only " + CountText(size, "byte", "bytes") + " long (truncated)");
        report.ok("size rule: file " + CountText(size, "byte", "bytes") + ", minimumFileSize " +
                  std::to_string(l.minimumFileSize));
    } else {
        if (!SizeRulePasses(file))
            Fail(file, "size rule: locator field expectedFileSize is " + std::to_string(l.ExpectedFileSize()) +
                           " but the file is only " + CountText(size, "byte", "bytes") + " long (truncated by " +
                           CountText(static_cast<uint64_t>(l.ExpectedFileSize() - static_cast<int64_t>(size)),
                                     "byte", "bytes") +
                           ")");
        report.ok("size rule: file " + CountText(size, "byte", "bytes") + ", expectedFileSize " +
                  std::to_string(l.ExpectedFileSize()));
    }

    const std::optional<uint32_t> crc = CheckedBlockCrc(file);
    if (!crc)
        Fail(file, "locator field checkedLength " + std::to_string(l.checkedLength) + ": the checked block (from " +
                       std::to_string(l.packageOffset) + ") runs past the end of the file (" +
                       CountText(size, "byte", "bytes") + ")");
    if (*crc != l.checkedCrc)
        Fail(file, "CRC-32 of the checked block (" + CountText(l.checkedLength, "byte", "bytes") + " at offset " +
                       std::to_string(l.packageOffset) + ") is " + Hex32(*crc) + ", locator field checkedCrc says " +
                       Hex32(l.checkedCrc) + " (damaged)" +
                       (ChecksumCoversLength(l.checkedLength)
                            ? ""
                            : "; the launcher sums a block of 2 GiB or more to 0"));
    report.ok("checked block: " + CountText(l.checkedLength, "byte", "bytes") + ", CRC-32 " + Hex32(*crc));

    if (!file.hasHeader)
        Fail(file, "header: the 74 header bytes at packageOffset " + std::to_string(l.packageOffset) +
                       " run past the end of the file");
    const PackageHeader& h = file.header;
    report.ok("header: 74 bytes at offset " + std::to_string(l.packageOffset));

    const LzmaProperties p = PropertiesOf(h);
    const std::string propertiesProblem = LzmaPropertiesProblem(p);
    if (!propertiesProblem.empty()) Fail(file, propertiesProblem);
    report.ok("LZMA properties: lc " + std::to_string(p.lc) + ", lp " + std::to_string(p.lp) + ", pb " +
              std::to_string(p.pb) + ", dictionary " + CountText(p.dictionary, "byte", "bytes"));

    const bool has32 = h.engine32.offset != 0;
    const bool refuses64 = h.engine64.offset == kRefuse64BitWindows;
    const bool has64 = h.engine64.offset != 0 && !refuses64;
    if (!has32 && !has64)
        Fail(file, refuses64 ? "header field engine64.offset is 0xFFFFFFFF (refuse 64-bit Windows) but "
                               "engine32.offset is 0: there is no engine at all"
                             : "header fields engine32.offset and engine64.offset are both 0: there is no engine");
    if (choice == EngineChoice::kOnly32 && !has32)
        Fail(file, "header field engine32.offset is 0: the package has no 32-bit engine");
    if (choice == EngineChoice::kOnly64 && !has64)
        Fail(file, std::string("header field engine64.offset is ") + (refuses64 ? "0xFFFFFFFF" : "0") +
                       ": the package has no 64-bit engine");
    if (has32 && choice != EngineChoice::kOnly64)
        CheckPayload(file, "engine32", h.engine32, report, choice == EngineChoice::kOnly32 ? engine : nullptr);
    else if (!has32)
        report.ok("engine32: none");
    if (has64 && choice != EngineChoice::kOnly32)
        CheckPayload(file, "engine64", h.engine64, report, choice == EngineChoice::kOnly64 ? engine : nullptr);
    else if (refuses64)
        report.ok("engine64: none, and 64-bit Windows is refused");
    else if (!has64)
        report.ok("engine64: none");

    CheckMessage(file, "wrongWidthMessage", h.wrongWidthMessage, report);
    CheckMessage(file, "unsupportedWindowsMessage", h.unsupportedWindowsMessage, report);
    for (const std::string& warning : LayoutWarnings(file)) report.warn(warning);
}

std::vector<std::string> LayoutWarnings(const PackageFile& file) {
    std::vector<std::string> warnings;
    if (file.streamCut)
        warnings.push_back("the stream goes on after byte " + std::to_string(file.Size()) +
                           ", where the package and its certificate table end; it was read no further");
    if (const auto table = FindCertificateTable(file)) {
        const uint64_t end = table->offset + table->size;
        if (end < file.Size())
            warnings.push_back(CountText(file.Size() - end, "byte", "bytes") +
                               " after the certificate table: the signature no longer covers the file");
    }
    if (!file.hasHeader) return warnings;
    const PackageHeader& h = file.header;
    PeInfo pe;
    const bool launcher64 = ReadPeHeaders(file, pe) && pe.machine == 0x8664;
    const bool has32 = h.engine32.offset != 0, refuses64 = h.engine64.offset == kRefuse64BitWindows;
    if (const std::string nowhere = RunsNowhereReason(launcher64, has32, refuses64, h.allowedWindows);
        !nowhere.empty())
        warnings.push_back("the package runs on no Windows: " + nowhere);
    if (!launcher64)
        for (const auto& [name, entry] : {std::make_pair("engine32", h.engine32), std::make_pair("engine64", h.engine64)})
            if (entry.offset != 0 && entry.offset != kRefuse64BitWindows)
                if (std::string large = EngineSizeWarning(name, entry.unpackedSize); !large.empty())
                    warnings.push_back(std::move(large));
    struct Range {
        unsigned element;
        const char* name;
        uint16_t min, max;
    };
    for (const Range& r : {Range{kWin10, "Windows 10", h.win10MinRelease, h.win10MaxRelease},
                           Range{kWin11, "Windows 11", h.win11MinRelease, h.win11MaxRelease}})
        if (h.allowedWindows.Contains(r.element) && r.min > r.max)
            warnings.push_back(std::string(r.name) + " is allowed, but its release range " + std::to_string(r.min) +
                               " to " + std::to_string(r.max) + " is upside down: every " + r.name +
                               " whose release the launcher can tell is refused");
    return warnings;
}

namespace {

// The Windows versions that have a 32-bit edition and those that have a
// 64-bit (x86-64) one: 95 to 2000 exist for 32 bits only, Windows 11 for 64
// bits only; XP x64 reports itself as XP.  Later ones may be either.
bool Has32BitEdition(unsigned element) { return element != kWin11; }
bool Has64BitEdition(unsigned element) { return element >= kWinXp; }

}  // namespace

std::string RunsNowhereReason(bool launcher64, bool has32, bool refuses64, const AllowedWindowsSet& allowed) {
    if (launcher64 && refuses64)
        return "its launcher is a 64-bit program, which runs only on 64-bit Windows, and it refuses 64-bit Windows "
               "(engine64.offset 0xFFFFFFFF)";
    std::string names;
    bool some32 = false, some64 = false;
    for (const WindowsName& n : WindowsNames())
        if (allowed.Contains(n.element)) {
            names += (names.empty() ? "" : ", ") + std::string(n.name);
            some32 |= Has32BitEdition(n.element);
            some64 |= Has64BitEdition(n.element);
        }
    if (names.empty()) return "it allows no Windows version the launcher knows (allowedWindows holds none of them)";
    // 32-bit Windows runs the 32-bit launcher only, and takes the 32-bit
    // engine; 64-bit Windows runs either launcher and takes whichever
    // engine there is, unless it is refused.
    const bool runs32 = !launcher64 && has32, runs64 = !refuses64;
    if ((some32 && runs32) || (some64 && runs64)) return {};
    if (!some64)
        return "every Windows it allows (" + names + ") exists only as 32-bit Windows, and " +
               (launcher64 ? "its launcher is a 64-bit program" : "it has no 32-bit engine");
    return "every Windows it allows (" + names + ") exists only as 64-bit Windows, which it refuses";
}

std::string EngineSizeWarning(const std::string& what, uint64_t unpackedSize) {
    if (unpackedSize <= kLargestEngineFor32BitLauncher) return {};
    return what + " decodes to " + CountText(unpackedSize, "byte", "bytes") + ", more than the " +
           std::to_string(kLargestEngineFor32BitLauncher) +
           " the 32-bit launcher is sure to hold (it holds the packed and the decoded engine at once: a larger "
           "one runs only if it packs well, else it ends the launcher with exit code 203, out of memory); "
           "use the 64-bit launcher (--launcher 64) if the package is for 64-bit Windows only";
}

std::string Hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string ElevationName(uint8_t mode) {
    if (mode == 0) return "none";
    if (mode == 1) return "runas";
    if (mode == 2) return "noadmin";
    return "none (value " + std::to_string(mode) + ")";
}

std::string ElevationMeaning(uint8_t mode) {
    if (mode == 1) return "a silent run by a standard user asks for elevation (verb runas)";
    if (mode == 2) return "a silent run by a standard user gets /noadmin, as a non-silent one does";
    return "a non-silent run by a standard user gets /noadmin; a silent one gets nothing";
}

std::string ReleaseRangeText(uint16_t min, uint16_t max) {
    return std::to_string(min) + " to " + std::to_string(max) + (max >= 9999 ? " (no upper bound)" : "");
}

std::string CountText(uint64_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}
