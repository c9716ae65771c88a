// The resource tree of a PE image: types, names and languages down to each
// resource's bytes.  Read from an image and written back laid out anew, with
// the vendor's icon group and version resource set in it; and read back as a
// report for `mkpackage inspect`.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "IcoFile.h"
#include "PeImage.h"
#include "VersionResource.h"

// Resource types this code knows by name.
enum : uint32_t {
    kRtIcon = 3,
    kRtGroupIcon = 14,
    kRtVersion = 16,
    kRtManifest = 24,
};

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

// ---------------------------------------------------------------------------
// The tree itself, for the rewrite of a resource section.  These functions
// throw pe_bytes::Refusal (PeBytes.h) with the reason on what they cannot
// handle.

struct ResourceDirectoryHeader {
    uint32_t characteristics = 0, timeDateStamp = 0;
    uint16_t majorVersion = 0, minorVersion = 0;
};
struct ResourceLeaf {
    Bytes data;
    uint32_t codePage = 0;
};
template <class Child>
struct ResourceDirectory {
    ResourceDirectoryHeader header;
    std::map<ResourceId, Child> entries;
};
using LanguageDirectory = ResourceDirectory<ResourceLeaf>;
using NameDirectory = ResourceDirectory<LanguageDirectory>;
using ResourceTree = ResourceDirectory<NameDirectory>;

namespace pe_bytes {
class ImageView;
}
// The tree the image's resource directory describes.
ResourceTree ReadTreeOf(const pe_bytes::ImageView& image, const PeInfo& info);
// The tree as a resource section's content for the section at rva: all
// directory tables, the data entries, the name strings, then each
// resource's data 8-byte aligned.
Bytes WriteTree(const ResourceTree& tree, uint32_t rva);
// Makes images RT_GROUP_ICON 1, the group Explorer shows, with its images
// as RT_ICON numbered from 1 up (see ResourceUpdate::icon).
void SetIcon(ResourceTree& tree, const std::vector<IconImage>& images);
// Makes strings RT_VERSION 1, in US English only.
void SetVersion(ResourceTree& tree, const VersionStrings& strings);

// ---------------------------------------------------------------------------
// What `mkpackage inspect` shows.

struct ResourceEntry {
    ResourceId type, name;
    uint16_t language = 0;
    uint32_t size = 0, codePage = 0;
};

struct IconGroupImage : IconFormat {
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
// image without resources gives an empty report.  Returns false with a
// reason on resources it cannot read; none of the image is trusted.  The
// resources read add up to at most twice the image's size.
bool ReadResources(const uint8_t* image, size_t size, ResourceReport& report, std::string& error);
inline bool ReadResources(const Bytes& image, ResourceReport& report, std::string& error) {
    return ReadResources(image.data(), image.size(), report, error);
}
