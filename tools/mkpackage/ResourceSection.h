// The launcher's resources as a vendor sees them: their own icon and version
// information in place of none.  Rewrites the resource section of a PE
// image, moves the sections after it, and sets the image's checksum.
//
// Every function returns false with a reason on input it cannot handle and
// leaves its output untouched then; none trusts the bytes it is given.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "IcoFile.h"
#include "ResourceTree.h"
#include "VersionResource.h"

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
