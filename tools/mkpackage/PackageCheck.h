// Reading a finished package back: the locator and header as the launcher
// sees them, and the launcher's own checks, in its order, for `verify`,
// `inspect` and `extract`.
#pragma once
#include <functional>
#include <optional>
#include <string>

#include "PackageWriter.h"

struct PackageFile {
    std::string path;
    Bytes bytes;
    bool hasLocator = false;  // the file reaches past byte 151
    PackageLocator locator{};
    bool hasHeader = false;   // packageOffset is nonzero and 74 bytes lie there
    PackageHeader header{};
};

// Never fails: what cannot be read is marked absent.
PackageFile ParsePackageFile(std::string path, Bytes bytes);
// Reads path and parses it; throws Failure when it cannot be read.
PackageFile LoadPackageFile(const std::string& path);

// The launcher's size rule: minimumFileSize against the low 32 bits of the
// file size when it is nonzero, else expectedFileSize against the whole size.
bool SizeRulePasses(const PackageFile& file);
// CRC-32 of the checked block, or nothing when the block runs past the end.
std::optional<uint32_t> CheckedBlockCrc(const PackageFile& file);
// A message text, or nothing when it runs past the end of the file.
std::optional<std::u16string> MessageText(const PackageFile& file, const MessageRef& ref);

enum class EngineChoice { kBoth, kOnly32, kOnly64 };

// Everything the launcher checks before it starts an engine, in its order:
// locator, size rule, checked block CRC, header, LZMA properties, payloads
// (each present one decoded to exactly its unpacked size; with kOnly32 or
// kOnly64 just that one, which must be present), message references.  Each
// passed check is reported through ok ("size rule: ..."); the first failure
// throws Failure naming the file and the field.  decoded, when given,
// receives the engine of kOnly32 or kOnly64.
void VerifyPackage(const PackageFile& file, EngineChoice choice,
                   const std::function<void(const std::string&)>& ok, Bytes* decoded = nullptr);

// Words for fields.
std::string Hex32(uint32_t value);
std::string ElevationName(uint8_t mode);         // "none", "runas", "noadmin", "none (value 7)"
std::string ElevationMeaning(uint8_t mode);      // a sentence for people
std::string ReleaseRangeText(uint16_t min, uint16_t max);  // "1507 to 9999 (no upper bound)"
