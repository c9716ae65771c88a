// The launcher's resources as a vendor sees them: their own icon and version
// information in place of none.  Reads .ico files, builds version resources,
// rewrites the resource section of a PE image, computes the PE checksum, and
// reads resources back for `mkpackage inspect`.
//
// Every function returns false with a reason on input it cannot handle and
// leaves its output untouched then; none trusts the bytes it is given.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Resource types this code knows by name.
enum : uint32_t {
    kRtIcon = 3,
    kRtGroupIcon = 14,
    kRtVersion = 16,
    kRtManifest = 24,
};
constexpr uint16_t kLanguageEnUs = 0x0409;

// One image of an icon, as an .ico file holds it.
struct IconImage {
    uint32_t width = 0, height = 0;  // pixels, 1 to 256
    uint8_t colorCount = 0;          // as the .ico directory states it; 0 for 256 colours and more
    // What Windows chooses an image by: for a bitmap its header's values,
    // for a PNG the .ico directory's, or its own format's when those are 0.
    uint16_t planes = 0, bitCount = 0;
    bool png = false;
    Bytes data;  // a DIB (BITMAPINFOHEADER, colours, XOR and AND masks) or a whole PNG file
};

// Reads an .ico file.  Refuses cursors, empty or truncated files, images
// outside the file, and images whose own header contradicts the directory.
bool ParseIco(const Bytes& file, std::vector<IconImage>& images, std::string& error);

// Key and UTF-8 value pairs of a version resource's string table, in order.
using VersionStrings = std::vector<std::pair<std::string, std::string>>;

// The keys a version resource may hold, in the order Windows shows them.
extern const char* const kVersionKeys[9];

// a, a.b, a.b.c or a.b.c.d, each 0-65535, into the two halves of a fixed
// version; false for any other text.
bool ParseFixedVersion(const std::string& text, uint32_t& ms, uint32_t& ls);

// Builds a VS_VERSIONINFO resource: one string table for US English and
// UTF-16 (040904B0) and the matching translation.  Keys are limited to
// CompanyName, FileDescription, FileVersion, ProductName, ProductVersion,
// LegalCopyright, OriginalFilename, InternalName and Comments, each at most
// once.  A FileVersion or ProductVersion of the form a[.b[.c[.d]]] with
// numbers up to 65535 also sets the fixed binary version; any other text is
// stored as a string only and leaves the binary version 0.0.0.0.
bool BuildVersionResource(const VersionStrings& strings, Bytes& resource, std::string& error);

// A resource type, name or language: a number or a string.
struct ResourceId {
    bool named = false;
    uint32_t id = 0;
    std::u16string name;

    static ResourceId Number(uint32_t n) { return {false, n, {}}; }
    static ResourceId Name(std::u16string s) { return {true, 0, std::move(s)}; }
    // The order of a resource directory: names (by UTF-16 code units) before numbers.
    bool operator<(const ResourceId& o) const;
    bool operator==(const ResourceId& o) const { return named == o.named && id == o.id && name == o.name; }
    // "3", "\"NAME\"", or for types the symbolic name: "RT_ICON (3)".
    std::string Describe(bool asType = false) const;
};

struct RawResource {
    ResourceId type, name;
    uint16_t language = kLanguageEnUs;
    Bytes data;
    uint32_t codePage = 0;
};

// What to change.  Whatever is not named here stays as it is, byte for byte.
struct ResourceUpdate {
    // Becomes RT_GROUP_ICON 1, the group Explorer shows (it takes the first
    // in directory order), with its images as RT_ICON numbered from 1 up,
    // skipping numbers other groups use.  The icons of the group it replaces
    // go, unless another group shares them.
    std::optional<std::vector<IconImage>> icon;
    // Becomes RT_VERSION 1.
    std::optional<VersionStrings> version;
    // Further resources, added or replacing the same type, name and
    // language; applied before the icon and the version, which win.
    std::vector<RawResource> resources;
};
// Replaced icon groups and version resources lose all their languages and
// come back in US English only: a stale variant in another language would
// be what Windows shows users of that language.

// Rewrites the resource section of a PE image (no package appended yet) and
// stores its checksum.  The resource section may grow or shrink; a
// relocation section after it moves along, and nothing else in the image
// changes but the header fields that describe the two.  Refuses (image
// unchanged) what it cannot rewrite without risk of breaking a reference:
// an image without a resource section of its own, sections other than the
// relocations after it, data directories, the entry point or relocated
// pointers into what changes, relocations of kinds it cannot follow,
// sections aligned below a page, a certificate, COFF symbols or any other
// data after the last section, and a named icon group when an icon is given
// (Explorer would show that one).
bool UpdateResources(Bytes& image, const ResourceUpdate& update, std::string& error);

// The PE checksum of a whole file (CheckSumMappedFile's: a 16-bit sum with
// end-around carry over the file, its CheckSum field counted as zero, plus
// the file's length).
bool ComputePeChecksum(const Bytes& file, uint32_t& checksum, std::string& error);
// The same over a file held elsewhere, such as a mapped multi-gigabyte package.
bool ComputePeChecksum(const uint8_t* file, size_t size, uint32_t& checksum, std::string& error);
// Stores that checksum in the file's CheckSum field.
bool StorePeChecksum(Bytes& file, std::string& error);

// What `mkpackage inspect` shows.
struct ResourceEntry {
    ResourceId type, name;
    uint16_t language = 0;
    uint32_t size = 0, codePage = 0;
};

struct VersionStringTable {
    std::string key;  // language and code page in hex, e.g. "040904B0"
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

struct IconGroupImage {
    uint32_t width = 0, height = 0;  // 256 where the group says 0
    uint8_t colorCount = 0;
    uint16_t planes = 0, bitCount = 0;
    uint32_t size = 0;  // as the group states it
    uint16_t iconId = 0;
    bool present = false;  // the RT_ICON it names exists
    bool png = false;
};

struct IconGroup {
    ResourceId name;
    uint16_t language = 0;
    std::vector<IconGroupImage> images;
};

struct ResourceReport {
    std::vector<ResourceEntry> entries;  // in directory order
    std::optional<VersionInfo> version;  // RT_VERSION 1, its first language
    std::optional<IconGroup> mainIcon;   // the first RT_GROUP_ICON, the one Explorer shows
};

// Reads the resources of an image, with or without a package after it.  An
// image without resources gives an empty report.
bool ReadResources(const Bytes& image, ResourceReport& report, std::string& error);
// Parses a VS_VERSIONINFO resource.
bool ParseVersionResource(const Bytes& resource, VersionInfo& info, std::string& error);
// "1.2.3.4" from a fixed version's two halves.
std::string FormatFixedVersion(uint32_t ms, uint32_t ls);
