// Version resources (VS_VERSIONINFO): what Explorer shows in a file's
// properties.  Built from the vendor's key and value pairs, and read back
// for `mkpackage inspect`.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

using Bytes = std::vector<uint8_t>;

// US English: the language of the version resources built here, and of
// the icon groups set with them.
constexpr uint16_t kLanguageEnUs = 0x0409;

// Key and UTF-8 value pairs of a version resource's string table, in order.
using VersionStrings = std::vector<std::pair<std::string, std::string>>;

// The keys a version resource may hold, in the order Windows shows them.
extern const char* const kVersionKeys[9];

// a, a.b, a.b.c or a.b.c.d, each 0-65535, into the two halves of a fixed
// version; false for any other text.
bool ParseFixedVersion(const std::string& text, uint32_t& ms, uint32_t& ls);
// "1.2.3.4" from a fixed version's two halves.
std::string FormatFixedVersion(uint32_t ms, uint32_t ls);

// Builds a VS_VERSIONINFO resource: one string table for US English and
// UTF-16 (040904B0) and the matching translation.  Keys are limited to
// CompanyName, FileDescription, FileVersion, ProductName, ProductVersion,
// LegalCopyright, OriginalFilename, InternalName and Comments, each at most
// once.  A FileVersion or ProductVersion of the form a[.b[.c[.d]]] with
// numbers up to 65535 also sets the fixed binary version; any other text is
// stored as a string only and leaves the binary version 0.0.0.0.  Returns
// false with a reason and leaves resource untouched then.
bool BuildVersionResource(const VersionStrings& strings, Bytes& resource, std::string& error);

struct VersionStringTable {
    std::string key;  // language and code page in hex, e.g. "040904B0"
    // Read from UTF-16 by Utf16ToUtf8: a lone surrogate, which a file may
    // hold, keeps its three-byte form (Wtf8ToUtf16 gives it back).
    VersionStrings strings;
};

struct VersionInfo {
    bool hasFixedInfo = false;
    uint32_t fileVersionMS = 0, fileVersionLS = 0, productVersionMS = 0, productVersionLS = 0;
    uint32_t fileFlagsMask = 0, fileFlags = 0, fileOS = 0, fileType = 0, fileSubtype = 0;
    uint32_t fileDateMS = 0, fileDateLS = 0;
    std::vector<VersionStringTable> stringTables;
    std::vector<uint32_t> translations;  // language in the low word, code page in the high
};

// Parses a VS_VERSIONINFO resource; false with a reason on one it cannot read.
bool ParseVersionResource(const Bytes& resource, VersionInfo& info, std::string& error);
