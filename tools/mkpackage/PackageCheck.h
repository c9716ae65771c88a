// Reading a finished package back: the locator and header as the launcher
// sees them, and the launcher's own checks, in its order, for `verify`,
// `inspect`, `extract` and the last step of `build`.
#pragma once
#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "PackageWriter.h"

class InputFile;

struct PackageFile {
    std::string path;
    Blob bytes;
    std::shared_ptr<const InputFile> input;  // what the bytes were read from, when a file
    // Read from a stream that went on past the end of the package and its
    // certificate table, where reading stopped.
    bool streamCut = false;
    bool hasLocator = false;  // the file reaches past byte 151
    PackageLocator locator{};
    bool hasHeader = false;   // packageOffset is nonzero and 74 bytes lie there
    PackageHeader header{};
    uint64_t Size() const { return bytes.size(); }
};

// Never fails: what cannot be read is marked absent.
PackageFile ParsePackageFile(std::string path, Blob bytes);
// Maps path and parses it; throws Failure when it cannot be read.  A stream
// ("-", a pipe, a device) is refused as soon as its first bytes can begin
// no package, and read no further than the end of the package they
// announce and of its certificate table (one byte more tells whether it
// goes on).
PackageFile LoadPackageFile(const std::string& path);
// Throws Failure when the file changed while it was read (see
// InputFile::CheckUnchanged): what was found in it may be of neither state.
void CheckUnchanged(const PackageFile& file);

// Why file cannot hold a package at all, or empty when it may: it is no PE
// image, its PE header covers bytes 128-151, packageOffset is 0 or points
// into the launcher image, or the locator contradicts itself.  A truncated
// or damaged package is not "no package": the launcher's checks find those.
std::string NoPackageReason(const PackageFile& file);

// The launcher's size rule (shared with it: IsTruncated).
bool SizeRulePasses(const PackageFile& file);
// CRC-32 of the checked block by the launcher's rule (a block of 2 GiB or
// more sums to 0), or nothing when the block runs past the end.
std::optional<uint32_t> CheckedBlockCrc(const PackageFile& file);
// A message text, or nothing when it runs past the end of the file.
std::optional<std::u16string> MessageText(const PackageFile& file, const MessageRef& ref);

// The Authenticode certificate table that the image's security directory
// names, when there is one.
struct CertificateTable {
    uint64_t offset = 0, size = 0;
};
std::optional<CertificateTable> FindCertificateTable(const PackageFile& file);
// How much of a PE image's start holds its headers, as far as they are read
// here.
constexpr size_t kPeHeadSpan = 64 * 1024;
// The same for any PE image, from its first bytes (up to kPeHeadSpan) and
// its whole size: none when it is no PE image, names none, or names one
// outside the file.
std::optional<CertificateTable> CertificateTableOf(const uint8_t* head, size_t headSize, uint64_t fileSize);
// The same for an image whole in memory.
inline std::optional<CertificateTable> CertificateTableOf(const uint8_t* image, uint64_t size) {
    return CertificateTableOf(image, static_cast<size_t>(std::min<uint64_t>(size, kPeHeadSpan)), size);
}
// "engine64 is not signed: ..." for an engine without a certificate table
// in a package that carries one.
std::string UnsignedEngineWarning(const char* name);

// How decoding a payload with the launcher's decoder went, and what the
// stream holds beyond the engine the launcher takes from it.
struct PayloadDecoding {
    bool ended = false;         // the decoder ended normally
    uint64_t produced = 0;      // bytes of engine
    uint64_t packedLeft = 0;    // packed bytes the decoder never read, one byte past the engine
    // With produced == unpackedSize: the stream goes on after it (more
    // engine, so the launcher runs a cut one), or packed bytes follow the
    // stream's end.
    bool streamGoesOn = false;
    uint64_t packedAfterEnd = 0;
    // The engine's own signature, read from its first bytes, when all of it
    // decoded.
    std::optional<CertificateTable> certificates;
};
// The LZMA properties of the header: byte 0 split into lc, lp and pb, and
// the dictionary size of bytes 1-4.
struct LzmaProperties {
    unsigned byte0 = 0, lc = 0, lp = 0, pb = 0;
    uint32_t dictionary = 0;
};
LzmaProperties PropertiesOf(const PackageHeader& header);
// Why the launcher's decoder would refuse the properties, or empty.
std::string LzmaPropertiesProblem(const LzmaProperties& p);
// Why the payload named name ("engine32") cannot be decoded at all (a size
// of 2 GiB or more, a stream past the end of the file), or cannot run (an
// unpacked size of 0: the launcher would start an empty file), or empty.
std::string PayloadProblem(const PackageFile& file, const char* name, const PayloadEntry& entry);
// The warning for a stream that goes on after unpackedSize, which the
// launcher would run cut, or has packed bytes after its end; empty when the
// decoding shows no such thing.
std::string CutEngineWarning(const char* name, const PayloadEntry& entry, const PayloadDecoding& decoding);

// Decodes entry exactly as the launcher would, handing the engine's bytes
// to take (when given) as they come, and on to one byte past the engine.
// When that byte comes, decodes once more with liblzma told the size, which
// then demands that the stream end there (its range coder finished, or an
// end marker next), to see whether it goes on.  The entry must pass
// PayloadProblem.
PayloadDecoding DecodePayload(const PackageFile& file, const PayloadEntry& entry,
                              const std::function<void(const uint8_t*, size_t)>& take = {});

// What a check says besides passing: "ok" lines for each passed check, and
// warnings about what the launcher accepts but a vendor must know.
struct CheckReport {
    std::function<void(const std::string&)> ok = [](const std::string&) {};
    std::function<void(const std::string&)> warn = [](const std::string&) {};
};

enum class EngineChoice { kBoth, kOnly32, kOnly64 };

// Everything the launcher checks before it starts an engine, in its order:
// locator, size rule, checked block CRC, header, LZMA properties, payloads
// (each present one decoded to exactly its unpacked size; with kOnly32 or
// kOnly64 just that one, which must be present), message references; and,
// besides, a warning for each engine without a signature in a signed
// package.  The
// first failure throws Failure naming the file and the field; a file that
// cannot hold a package at all fails with "no package".  engine, when given,
// receives the decoded bytes of the kOnly32 or kOnly64 engine as they come.
void VerifyPackage(const PackageFile& file, EngineChoice choice, const CheckReport& report,
                   const std::function<void(const uint8_t*, size_t)>& engine = {});

// What the launcher accepts but a vendor must hear about, without decoding:
// bytes after the certificate table, upside-down release ranges of allowed
// Windows 10 or 11, a package that runs on no Windows, an engine larger
// than the 32-bit launcher holds.
std::vector<std::string> LayoutWarnings(const PackageFile& file);

// Why a package could run on no Windows at all, or empty: its launcher is
// 64-bit (it runs only on 64-bit Windows) and it refuses 64-bit Windows;
// it allows no Windows version the launcher knows; or every Windows it
// allows exists only in a width where the package runs nothing (32-bit
// Windows without a 32-bit engine or with a 64-bit launcher, Windows 11
// with 64-bit Windows refused).
std::string RunsNowhereReason(bool launcher64, bool has32, bool refuses64, const AllowedWindowsSet& allowed);

// The largest engine the 32-bit launcher, stub32.exe, is sure to decode,
// whatever the engine packs to.  It holds the packed and the decoded engine
// in its address space at once: 4 GiB for the large-address-aware launcher
// under WOW64.  Measured there (scripts/measure-engine-limit.sh): an engine
// that does not compress runs at 1000 MiB and ends the launcher with exit
// code 203 (out of memory) at 1025 MiB; engines that pack well run larger
// (program code packing to 30 % runs at 2047 MiB, the format's limit).
// Update it here when the launcher is measured again.
constexpr uint64_t kLargestEngineFor32BitLauncher = 1000ull << 20;
// The warning for an engine (named by what: "engine64", "--engine64 FILE")
// that decodes to more than that, when the launcher is a 32-bit program;
// empty otherwise.
std::string EngineSizeWarning(const std::string& what, uint64_t unpackedSize);

// Words for fields.
std::string Hex32(uint32_t value);
std::string ElevationName(uint8_t mode);         // "none", "runas", "noadmin", "none (value 7)"
std::string ElevationMeaning(uint8_t mode);      // a sentence for people
std::string ReleaseRangeText(uint16_t min, uint16_t max);  // "1507 to 9999 (no upper bound)"
std::string CountText(uint64_t count, const char* one, const char* many);  // "1 byte", "2 bytes"
