#include "PeResources.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <set>
#include <stdexcept>
#include <tuple>

#include "PackageWriter.h"
#include "PeImage.h"

namespace {

// Thrown where input turns out unusable; every public function catches it
// and hands its message back as the reason, so parsing code reads straight.
class Refusal : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void Refuse(const std::string& why) { throw Refusal(why); }

template <class F>
bool Guarded(std::string& error, F f) {
    try {
        f();
        return true;
    } catch (const Refusal& e) {
        error = e.what();
    } catch (const PackageError& e) {  // the UTF-8 conversion's
        error = e.what();
    } catch (const std::bad_alloc&) {
        error = "out of memory";
    }
    return false;
}

std::string Hex(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
    return buf;
}

std::string Num(uint64_t v) { return std::to_string(v); }

uint64_t AlignUp(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }

// Little-endian reads that refuse, naming what they read, instead of
// running past the end.
class Reader {
public:
    Reader(const uint8_t* data, size_t size, std::string what) : data_(data), size_(size), what_(std::move(what)) {}

    void Need(uint64_t at, uint64_t n) const {
        if (at > size_ || size_ - at < n) Refuse(what_ + " is truncated");
    }
    uint8_t U8(uint64_t at) const {
        Need(at, 1);
        return data_[at];
    }
    uint16_t U16(uint64_t at) const {
        Need(at, 2);
        return static_cast<uint16_t>(data_[at] | data_[at + 1] << 8);
    }
    uint32_t U32(uint64_t at) const {
        Need(at, 4);
        return static_cast<uint32_t>(data_[at] | data_[at + 1] << 8 | data_[at + 2] << 16) |
               static_cast<uint32_t>(data_[at + 3]) << 24;
    }
    uint64_t U64(uint64_t at) const { return U32(at) | static_cast<uint64_t>(U32(at + 4)) << 32; }
    uint32_t BigU32(uint64_t at) const {
        Need(at, 4);
        return static_cast<uint32_t>(data_[at]) << 24 | static_cast<uint32_t>(data_[at + 1] << 16 | data_[at + 2] << 8 | data_[at + 3]);
    }
    Bytes Slice(uint64_t at, uint64_t n) const {
        Need(at, n);
        return Bytes(data_ + at, data_ + at + n);
    }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

private:
    const uint8_t* data_;
    size_t size_;
    std::string what_;
};

void Put16(Bytes& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Append16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void Append32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void PadTo(Bytes& b, size_t alignment) { b.resize(AlignUp(b.size(), alignment), 0); }

std::u16string ReadUtf16(const Reader& r, uint64_t at, uint64_t units) {
    r.Need(at, 2 * units);
    std::u16string s;
    for (uint64_t i = 0; i < units; ++i) s += static_cast<char16_t>(r.U16(at + 2 * i));
    return s;
}

// ---------------------------------------------------------------------------
// .ico files

const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

std::string Size(const IconImage& image) { return Num(image.width) + "x" + Num(image.height); }

void CheckPng(const Reader& r, IconImage& image, const std::string& label) {
    // Windows takes the size from IHDR and decodes the rest only when it
    // draws the icon, so a PNG cut short would pass unnoticed until then:
    // walk the chunks to IEND.
    if (r.BigU32(8) != 13 || std::memcmp(r.data() + 12, "IHDR", 4) != 0)
        Refuse(label + " is a PNG without an IHDR chunk first");
    const uint32_t width = r.BigU32(16), height = r.BigU32(20);
    const uint8_t depth = r.U8(24), colourType = r.U8(25);
    if (width != image.width || height != image.height)
        Refuse(label + ": the PNG is " + Num(width) + "x" + Num(height) + ", the icon directory says " + Size(image));
    const int channels = colourType == 0 ? 1 : colourType == 2 ? 3 : colourType == 3 ? 1 : colourType == 4 ? 2 : colourType == 6 ? 4 : 0;
    if (channels == 0 || depth == 0 || depth > 16) Refuse(label + " is a PNG of an unknown pixel format");
    for (uint64_t at = 8;;) {
        const uint32_t length = r.BigU32(at);
        r.Need(at, 12ull + length);
        if (std::memcmp(r.data() + at + 4, "IEND", 4) == 0) break;
        at += 12ull + length;
    }
    if (image.planes == 0) image.planes = 1;
    if (image.bitCount == 0) image.bitCount = static_cast<uint16_t>(channels * depth);
}

void CheckDib(const Reader& r, IconImage& image, const std::string& label) {
    const uint32_t headerSize = r.U32(0);
    if (headerSize < 40) Refuse(label + " is neither a PNG nor a bitmap with a BITMAPINFOHEADER");
    r.Need(0, headerSize);
    const int32_t width = static_cast<int32_t>(r.U32(4)), height = static_cast<int32_t>(r.U32(8));
    const uint16_t planes = r.U16(12), bitCount = r.U16(14);
    const uint32_t compression = r.U32(16), coloursUsed = r.U32(32);
    // An icon bitmap is twice as high as the icon: the colour image, then the
    // transparency mask.
    if (width != static_cast<int64_t>(image.width) || height != 2 * static_cast<int64_t>(image.height))
        Refuse(label + ": the bitmap is " + std::to_string(width) + "x" + std::to_string(height) +
               " (image and mask), the icon directory says " + Size(image));
    if (planes != 1) Refuse(label + ": the bitmap has " + Num(planes) + " planes, not 1");
    if (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 16 && bitCount != 24 && bitCount != 32)
        Refuse(label + ": the bitmap has " + Num(bitCount) + " bits per pixel");
    const bool bitfields = compression == 3 && (bitCount == 16 || bitCount == 32);
    if (compression != 0 && !bitfields) Refuse(label + ": the bitmap is compressed (" + Num(compression) + ")");
    const uint64_t maxColours = bitCount <= 8 ? 1u << bitCount : 0;
    if (coloursUsed > (maxColours ? maxColours : 256)) Refuse(label + ": the bitmap claims " + Num(coloursUsed) + " colours");
    const uint64_t colours = coloursUsed ? coloursUsed : maxColours;
    const uint64_t masks = bitfields && headerSize == 40 ? 12 : 0;
    const uint64_t xorStride = (static_cast<uint64_t>(width) * bitCount + 31) / 32 * 4;
    const uint64_t andStride = (static_cast<uint64_t>(width) + 31) / 32 * 4;
    const uint64_t needed = headerSize + masks + 4 * colours + (xorStride + andStride) * image.height;
    if (r.size() < needed)
        Refuse(label + ": a " + Size(image) + " bitmap of " + Num(bitCount) + " bits per pixel needs " + Num(needed) +
               " bytes, the icon file gives " + Num(r.size()));
    image.planes = planes;
    image.bitCount = bitCount;
}

void ParseIcoOrRefuse(const Bytes& file, std::vector<IconImage>& images) {
    const Reader r(file.data(), file.size(), "the icon file");
    if (file.size() < 6) Refuse("the icon file is " + Num(file.size()) + " bytes long, too short for an icon header");
    const uint16_t reserved = r.U16(0), type = r.U16(2), count = r.U16(4);
    if (reserved == 0 && type == 2) Refuse("this is a cursor file, not an icon");
    if (reserved != 0 || type != 1) Refuse("this is not an icon file (its header does not start 00 00 01 00)");
    if (count == 0) Refuse("the icon file holds no images");
    const uint64_t directoryEnd = 6 + 16ull * count;
    if (file.size() < directoryEnd)
        Refuse("the icon file is truncated: its directory of " + Num(count) + " images needs " + Num(directoryEnd) +
               " bytes, the file has " + Num(file.size()));
    std::vector<IconImage> parsed;
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t e = 6 + 16ull * i;
        IconImage image;
        image.width = r.U8(e) ? r.U8(e) : 256;
        image.height = r.U8(e + 1) ? r.U8(e + 1) : 256;
        image.colorCount = r.U8(e + 2);
        image.planes = r.U16(e + 4);
        image.bitCount = r.U16(e + 6);
        const uint32_t size = r.U32(e + 8), offset = r.U32(e + 12);
        const std::string label = "image " + Num(i + 1) + " of " + Num(count) + " (" + Size(image) + ")";
        if (size == 0) Refuse(label + " is empty");
        if (offset < directoryEnd) Refuse(label + " starts inside the icon directory (at " + Num(offset) + ")");
        if (static_cast<uint64_t>(offset) + size > file.size())
            Refuse(label + " lies outside the file: bytes " + Num(offset) + " to " + Num(static_cast<uint64_t>(offset) + size) +
                   " of a " + Num(file.size()) + "-byte file");
        image.data.assign(file.begin() + offset, file.begin() + offset + size);
        const Reader data(image.data.data(), image.data.size(), label);
        image.png = size >= 8 && std::memcmp(image.data.data(), kPngSignature, 8) == 0;
        if (image.png)
            CheckPng(data, image, label);
        else
            CheckDib(data, image, label);
        parsed.push_back(std::move(image));
    }
    images = std::move(parsed);
}

// ---------------------------------------------------------------------------
// Version resources

void AppendUtf16z(Bytes& b, const std::u16string& s) {
    for (char16_t c : s) Append16(b, c);
    Append16(b, 0);
}

// One node of a version resource: wLength, wValueLength, wType, the key,
// padding to 32 bits, the value, and each child starting on 32 bits.  A
// node's length ends with its own last byte, not with padding after it.
Bytes VersionNode(const std::u16string& key, uint16_t type, const Bytes& value, uint16_t valueLength,
                  const std::vector<Bytes>& children) {
    Bytes node(6, 0);
    AppendUtf16z(node, key);
    PadTo(node, 4);
    node.insert(node.end(), value.begin(), value.end());
    for (const Bytes& child : children) {
        PadTo(node, 4);
        node.insert(node.end(), child.begin(), child.end());
    }
    if (node.size() > 0xFFFF)
        Refuse("the version information is too long: " + Num(node.size()) + " bytes where a version resource allows 65535");
    Put16(node, 0, static_cast<uint16_t>(node.size()));
    Put16(node, 2, valueLength);
    Put16(node, 4, type);
    return node;
}

std::u16string U(const char* ascii) { return std::u16string(ascii, ascii + std::strlen(ascii)); }

Bytes BuildVersionOrRefuse(const VersionStrings& strings) {
    uint32_t fileMS = 0, fileLS = 0, productMS = 0, productLS = 0;
    std::set<std::string> seen;
    std::vector<Bytes> stringNodes;
    for (const auto& [key, value] : strings) {
        if (std::find(std::begin(kVersionKeys), std::end(kVersionKeys), key) == std::end(kVersionKeys)) {
            std::string allowed;
            for (const char* k : kVersionKeys) allowed += std::string(allowed.empty() ? "" : ", ") + k;
            Refuse("unknown version key \"" + key + "\" (allowed: " + allowed + ")");
        }
        if (!seen.insert(key).second) Refuse("version key " + key + " is given twice");
        std::u16string text;
        try {
            text = Utf8ToUtf16(value);
        } catch (const PackageError&) {
            Refuse("the value of " + key + " is not valid UTF-8");
        }
        if (text.find(u'\0') != std::u16string::npos) Refuse("the value of " + key + " holds a NUL character");
        if (text.size() >= 0xFFFF) Refuse("the value of " + key + " is too long");
        if (key == "FileVersion") ParseFixedVersion(value, fileMS, fileLS);
        if (key == "ProductVersion") ParseFixedVersion(value, productMS, productLS);
        Bytes v;
        AppendUtf16z(v, text);
        stringNodes.push_back(VersionNode(U(key.c_str()), 1, v, static_cast<uint16_t>(text.size() + 1), {}));
    }
    const Bytes table = VersionNode(u"040904B0", 1, {}, 0, stringNodes);
    const Bytes stringFileInfo = VersionNode(u"StringFileInfo", 1, {}, 0, {table});
    Bytes translation;
    Append16(translation, kLanguageEnUs);
    Append16(translation, 1200);  // UTF-16LE, the code page of the strings above
    const Bytes var = VersionNode(u"Translation", 0, translation, 4, {});
    const Bytes varFileInfo = VersionNode(u"VarFileInfo", 1, {}, 0, {var});
    Bytes fixed;
    for (uint32_t v : {0xFEEF04BDu, 0x00010000u, fileMS, fileLS, productMS, productLS,
                       0x3Fu,          // VS_FFI_FILEFLAGSMASK
                       0u,             // no flags: a release build
                       0x00040004u,    // VOS_NT_WINDOWS32
                       1u,             // VFT_APP
                       0u, 0u, 0u})
        Append32(fixed, v);
    return VersionNode(u"VS_VERSION_INFO", 0, fixed, static_cast<uint16_t>(fixed.size()), {stringFileInfo, varFileInfo});
}

struct VersionNodeView {
    uint64_t start = 0, end = 0;
    uint16_t valueLength = 0, type = 0;
    std::u16string key;
    uint64_t valueAt = 0, childrenAt = 0;
};

VersionNodeView ReadVersionNode(const Reader& r, uint64_t at, uint64_t limit) {
    VersionNodeView n;
    n.start = at;
    const uint16_t length = r.U16(at);
    n.valueLength = r.U16(at + 2);
    n.type = r.U16(at + 4);
    n.end = at + length;
    if (length < 6 || n.end > limit) Refuse("a node at offset " + Num(at) + " has an impossible length " + Num(length));
    uint64_t p = at + 6;
    for (;; p += 2) {
        if (p + 2 > n.end) Refuse("a key at offset " + Num(at) + " runs past its node");
        const char16_t c = r.U16(p);
        if (c == 0) break;
        n.key += c;
    }
    n.valueAt = AlignUp(p + 2, 4);
    // Text values count UTF-16 units, binary ones bytes; writers disagree
    // on what they count, so a value never reaches past its node.
    const uint64_t valueBytes = n.type == 1 ? 2ull * n.valueLength : n.valueLength;
    n.childrenAt = std::min(n.end, AlignUp(std::min(n.end, n.valueAt + valueBytes), 4));
    return n;
}

template <class F>
void ForEachVersionChild(const Reader& r, const VersionNodeView& parent, F f) {
    for (uint64_t at = parent.childrenAt; at + 6 <= parent.end;) {
        const VersionNodeView child = ReadVersionNode(r, at, parent.end);
        f(child);
        at = AlignUp(child.end, 4);
    }
}

std::string ValueText(const Reader& r, const VersionNodeView& n) {
    std::u16string text;
    for (uint64_t p = n.valueAt; p + 2 <= n.end; p += 2) {
        const char16_t c = r.U16(p);
        if (c == 0) break;
        text += c;
    }
    return Utf16ToUtf8(text);
}

void ParseVersionOrRefuse(const Bytes& resource, VersionInfo& out) {
    const Reader r(resource.data(), resource.size(), "the version resource");
    const VersionNodeView root = ReadVersionNode(r, 0, resource.size());
    if (root.key != u"VS_VERSION_INFO") Refuse("the version resource does not start with VS_VERSION_INFO");
    VersionInfo info;
    if (root.valueLength >= 52 && root.valueAt + 52 <= root.end) {
        const uint64_t f = root.valueAt;
        if (r.U32(f) != 0xFEEF04BD) Refuse("the version resource's fixed part lacks its signature");
        info.hasFixedInfo = true;
        info.fileVersionMS = r.U32(f + 8);
        info.fileVersionLS = r.U32(f + 12);
        info.productVersionMS = r.U32(f + 16);
        info.productVersionLS = r.U32(f + 20);
        info.fileFlagsMask = r.U32(f + 24);
        info.fileFlags = r.U32(f + 28);
        info.fileOS = r.U32(f + 32);
        info.fileType = r.U32(f + 36);
        info.fileSubtype = r.U32(f + 40);
        info.fileDateMS = r.U32(f + 44);
        info.fileDateLS = r.U32(f + 48);
    }
    ForEachVersionChild(r, root, [&](const VersionNodeView& block) {
        if (block.key == u"StringFileInfo") {
            ForEachVersionChild(r, block, [&](const VersionNodeView& table) {
                VersionStringTable t;
                t.key = Utf16ToUtf8(table.key);
                ForEachVersionChild(r, table, [&](const VersionNodeView& s) {
                    t.strings.emplace_back(Utf16ToUtf8(s.key), ValueText(r, s));
                });
                info.stringTables.push_back(std::move(t));
            });
        } else if (block.key == u"VarFileInfo") {
            ForEachVersionChild(r, block, [&](const VersionNodeView& var) {
                if (var.key != u"Translation") return;
                for (uint64_t p = var.valueAt; p + 4 <= var.childrenAt && p + 4 <= var.end; p += 4)
                    info.translations.push_back(r.U32(p));
            });
        }
    });
    out = std::move(info);
}

// ---------------------------------------------------------------------------
// The resource tree

struct DirectoryHeader {
    uint32_t characteristics = 0, timeDateStamp = 0;
    uint16_t majorVersion = 0, minorVersion = 0;
};
struct Leaf {
    Bytes data;
    uint32_t codePage = 0;
};
template <class Child>
struct Directory {
    DirectoryHeader header;
    std::map<ResourceId, Child> entries;
};
using LanguageDirectory = Directory<Leaf>;
using NameDirectory = Directory<LanguageDirectory>;
using Tree = Directory<NameDirectory>;

// Bounds what a hostile directory can make the reader do: entries may share
// subdirectories and data, so sizes alone do not limit the work.
constexpr uint64_t kMaxEntries = 1u << 16;

// A section-relative view of an image for RVAs.
class ImageView {
public:
    ImageView(const Bytes& image, const PeInfo& info) : image_(image), info_(info) {}

    // The file offset of n bytes at rva, all inside one section's raw data.
    uint64_t Offset(uint64_t rva, uint64_t n, const std::string& what) const {
        for (const PeSection& s : info_.sections) {
            const uint64_t span = std::max(s.virtualSize, s.rawSize);
            if (rva < s.virtualAddress || rva >= s.virtualAddress + span) continue;
            const uint64_t delta = rva - s.virtualAddress;
            if (delta + n > s.rawSize || s.rawOffset + delta + n > image_.size())
                Refuse(what + " at RVA " + Hex(rva) + " lies outside the data of section " + s.name);
            return s.rawOffset + delta;
        }
        Refuse(what + " at RVA " + Hex(rva) + " lies in no section");
    }
    // The rest of the section's raw data from rva on, for a structure of unknown size.
    Reader From(uint64_t rva, const std::string& what) const {
        const uint64_t at = Offset(rva, 1, what);
        for (const PeSection& s : info_.sections)
            if (at >= s.rawOffset && at < static_cast<uint64_t>(s.rawOffset) + s.rawSize)
                return Reader(image_.data() + at, std::min<uint64_t>(static_cast<uint64_t>(s.rawOffset) + s.rawSize, image_.size()) - at, what);
        Refuse(what + " lies in no section");
    }
    Bytes Read(uint64_t rva, uint64_t n, const std::string& what) const {
        const uint64_t at = Offset(rva, n, what);
        return Bytes(image_.begin() + at, image_.begin() + at + n);
    }

private:
    const Bytes& image_;
    const PeInfo& info_;
};

class TreeReader {
public:
    // Entries may share data, but an image whose resources add up to more
    // than twice its size is built to make readers work, not to be read.
    TreeReader(const ImageView& view, uint32_t rva, uint64_t imageSize)
        : view_(view), dir_(view.From(rva, "the resource directory")), maxBytes_(2 * imageSize) {}

    Tree Read() {
        Tree tree;
        ReadDirectory(0, tree.header, [&](const ResourceId& type, uint32_t target) {
            NameDirectory& names = Insert(tree.entries, type, "type " + type.Describe(true));
            ReadDirectory(Subdirectory(target, type.Describe(true)), names.header,
                          [&](const ResourceId& name, uint32_t target2) {
                const std::string where = type.Describe(true) + " " + name.Describe();
                LanguageDirectory& languages = Insert(names.entries, name, where);
                ReadDirectory(Subdirectory(target2, where), languages.header,
                              [&](const ResourceId& language, uint32_t target3) {
                    if (language.named || language.id > 0xFFFF)
                        Refuse("resource " + where + " has a language entry that is no language id");
                    if (target3 & 0x80000000u) Refuse("resource " + where + " nests deeper than type, name and language");
                    Insert(languages.entries, language, where + " language " + Num(language.id)) = ReadLeaf(target3, where);
                });
            });
        });
        return tree;
    }

private:
    template <class Map>
    typename Map::mapped_type& Insert(Map& map, const ResourceId& key, const std::string& what) {
        auto [it, added] = map.emplace(key, typename Map::mapped_type{});
        if (!added) Refuse("the resource directory lists " + what + " twice");
        return it->second;
    }

    uint32_t Subdirectory(uint32_t target, const std::string& what) {
        if (!(target & 0x80000000u)) Refuse("resource " + what + " is data where a directory belongs");
        return target & 0x7FFFFFFFu;
    }

    template <class F>
    void ReadDirectory(uint64_t at, DirectoryHeader& header, F f) {
        header.characteristics = dir_.U32(at);
        header.timeDateStamp = dir_.U32(at + 4);
        header.majorVersion = dir_.U16(at + 8);
        header.minorVersion = dir_.U16(at + 10);
        const uint32_t count = static_cast<uint32_t>(dir_.U16(at + 12)) + dir_.U16(at + 14);
        dir_.Need(at + 16, 8ull * count);
        for (uint32_t i = 0; i < count; ++i) {
            if (++entries_ > kMaxEntries) Refuse("the resource directory has more than " + Num(kMaxEntries) + " entries");
            const uint32_t nameField = dir_.U32(at + 16 + 8ull * i);
            f(EntryName(nameField), dir_.U32(at + 20 + 8ull * i));
        }
    }

    ResourceId EntryName(uint32_t field) {
        if (!(field & 0x80000000u)) return ResourceId::Number(field);
        const uint64_t at = field & 0x7FFFFFFFu;
        return ResourceId::Name(ReadUtf16(dir_, at + 2, dir_.U16(at)));
    }

    Leaf ReadLeaf(uint32_t at, const std::string& where) {
        const uint32_t rva = dir_.U32(at), size = dir_.U32(at + 4);
        view_.Offset(rva, size, "the data of resource " + where);
        bytes_ += size;
        if (bytes_ > maxBytes_) Refuse("the resources add up to more than twice the size of the image");
        Leaf leaf;
        leaf.codePage = dir_.U32(at + 8);
        leaf.data = view_.Read(rva, size, "the data of resource " + where);
        return leaf;
    }

    const ImageView& view_;
    Reader dir_;
    const uint64_t maxBytes_;
    uint64_t entries_ = 0, bytes_ = 0;
};

// The usual layout: all directory tables (root, types, names), the data
// entries, the name strings, then each resource's data 8-byte aligned.
// Offsets inside the tree are relative to its start, data addresses RVAs.
Bytes WriteTree(const Tree& tree, uint32_t rva) {
    uint64_t pos = 16 + 8ull * tree.entries.size();
    std::vector<uint64_t> nameDirectories, languageDirectories, dataEntries, dataAt;
    for (const auto& [type, names] : tree.entries) {
        nameDirectories.push_back(pos);
        pos += 16 + 8ull * names.entries.size();
    }
    for (const auto& [type, names] : tree.entries)
        for (const auto& [name, languages] : names.entries) {
            languageDirectories.push_back(pos);
            pos += 16 + 8ull * languages.entries.size();
        }
    for (const auto& [type, names] : tree.entries)
        for (const auto& [name, languages] : names.entries)
            for (size_t i = 0; i < languages.entries.size(); ++i) {
                dataEntries.push_back(pos);
                pos += 16;
            }
    std::map<std::u16string, uint64_t> strings;
    auto placeString = [&](const ResourceId& id) {
        if (id.named && strings.emplace(id.name, pos).second) pos += 2 + 2ull * id.name.size();
    };
    for (const auto& [type, names] : tree.entries) {
        placeString(type);
        for (const auto& [name, languages] : names.entries) placeString(name);
    }
    pos = AlignUp(pos, 8);
    for (const auto& [type, names] : tree.entries)
        for (const auto& [name, languages] : names.entries)
            for (const auto& [language, leaf] : languages.entries) {
                dataAt.push_back(pos);
                pos = AlignUp(pos + leaf.data.size(), 8);
            }
    if (pos > 0x40000000u) Refuse("the resources would take more than 1 GiB");

    Bytes out(pos, 0);
    auto writeDirectory = [&](uint64_t at, const auto& directory, auto target) {
        Put32(out, at, directory.header.characteristics);
        Put32(out, at + 4, directory.header.timeDateStamp);
        Put16(out, at + 8, directory.header.majorVersion);
        Put16(out, at + 10, directory.header.minorVersion);
        uint16_t named = 0, numbered = 0;
        uint64_t e = at + 16;
        for (const auto& [id, child] : directory.entries) {
            (id.named ? named : numbered)++;
            Put32(out, e, id.named ? 0x80000000u | static_cast<uint32_t>(strings.at(id.name)) : id.id);
            Put32(out, e + 4, target());
            e += 8;
        }
        Put16(out, at + 12, named);
        Put16(out, at + 14, numbered);
    };
    size_t nameIndex = 0, languageIndex = 0, dataIndex = 0;
    writeDirectory(0, tree, [&] { return 0x80000000u | static_cast<uint32_t>(nameDirectories[nameIndex++]); });
    nameIndex = 0;
    for (const auto& [type, names] : tree.entries)
        writeDirectory(nameDirectories[nameIndex++], names,
                       [&] { return 0x80000000u | static_cast<uint32_t>(languageDirectories[languageIndex++]); });
    languageIndex = 0;
    for (const auto& [type, names] : tree.entries)
        for (const auto& [name, languages] : names.entries)
            writeDirectory(languageDirectories[languageIndex++], languages, [&] { return static_cast<uint32_t>(dataEntries[dataIndex++]); });
    dataIndex = 0;
    for (const auto& [type, names] : tree.entries)
        for (const auto& [name, languages] : names.entries)
            for (const auto& [language, leaf] : languages.entries) {
                const uint64_t e = dataEntries[dataIndex], at = dataAt[dataIndex];
                ++dataIndex;
                Put32(out, e, rva + static_cast<uint32_t>(at));
                Put32(out, e + 4, static_cast<uint32_t>(leaf.data.size()));
                Put32(out, e + 8, leaf.codePage);
                std::copy(leaf.data.begin(), leaf.data.end(), out.begin() + at);
            }
    for (const auto& [name, at] : strings) {
        Put16(out, at, static_cast<uint16_t>(name.size()));
        for (size_t i = 0; i < name.size(); ++i) Put16(out, at + 2 + 2 * i, name[i]);
    }
    return out;
}

// The numbers of the RT_ICON entries a group names.
std::vector<uint16_t> GroupIconIds(const Bytes& group, const std::string& where) {
    const Reader r(group.data(), group.size(), "icon group " + where);
    if (r.U16(0) != 0 || r.U16(2) != 1) Refuse("icon group " + where + " is not an icon group");
    std::vector<uint16_t> ids;
    for (uint32_t i = 0, count = r.U16(4); i < count; ++i) ids.push_back(r.U16(6 + 14ull * i + 12));
    return ids;
}

void SetIcon(Tree& tree, const std::vector<IconImage>& images) {
    if (images.empty()) Refuse("an icon needs at least one image");
    if (images.size() > 0xFFFF) Refuse("an icon group holds at most 65535 images");
    for (const IconImage& image : images) {
        if (image.width < 1 || image.width > 256 || image.height < 1 || image.height > 256)
            Refuse("an icon image of " + Size(image) + " pixels: icons hold 1 to 256 pixels a side");
        if (image.data.empty()) Refuse("an icon image of " + Size(image) + " pixels has no data");
    }
    const ResourceId groupType = ResourceId::Number(kRtGroupIcon), iconType = ResourceId::Number(kRtIcon);
    const ResourceId main = ResourceId::Number(1);
    auto groups = tree.entries.find(groupType);
    std::set<uint16_t> replaced, kept;
    if (groups != tree.entries.end()) {
        for (const auto& [name, languages] : groups->second.entries) {
            if (name.named)
                Refuse("the image has an icon group named " + name.Describe() +
                       ", which Explorer would show instead of the new icon");
            for (const auto& [language, leaf] : languages.entries)
                for (uint16_t id : GroupIconIds(leaf.data, name.Describe()))
                    (name == main ? replaced : kept).insert(id);
        }
        groups->second.entries.erase(main);
    }
    auto icons = tree.entries.find(iconType);
    if (icons != tree.entries.end())
        for (uint16_t id : replaced)
            if (!kept.count(id)) icons->second.entries.erase(ResourceId::Number(id));
    NameDirectory& iconNames = tree.entries[iconType];
    Bytes group;
    Append16(group, 0);
    Append16(group, 1);
    Append16(group, static_cast<uint16_t>(images.size()));
    uint32_t next = 1;
    for (const IconImage& image : images) {
        while (iconNames.entries.count(ResourceId::Number(next)) || kept.count(static_cast<uint16_t>(next))) ++next;
        if (next > 0xFFFF) Refuse("no free RT_ICON numbers are left");
        iconNames.entries[ResourceId::Number(next)].entries[ResourceId::Number(kLanguageEnUs)] = Leaf{image.data, 0};
        group.push_back(static_cast<uint8_t>(image.width >= 256 ? 0 : image.width));
        group.push_back(static_cast<uint8_t>(image.height >= 256 ? 0 : image.height));
        group.push_back(image.colorCount);
        group.push_back(0);
        Append16(group, image.planes);
        Append16(group, image.bitCount);
        Append32(group, static_cast<uint32_t>(image.data.size()));
        Append16(group, static_cast<uint16_t>(next));
        ++next;
    }
    tree.entries[groupType].entries[main].entries[ResourceId::Number(kLanguageEnUs)] = Leaf{std::move(group), 0};
}

void SetVersion(Tree& tree, const VersionStrings& strings) {
    Bytes resource = BuildVersionOrRefuse(strings);
    LanguageDirectory& languages = tree.entries[ResourceId::Number(kRtVersion)].entries[ResourceId::Number(1)];
    languages.entries.clear();
    languages.entries[ResourceId::Number(kLanguageEnUs)] = Leaf{std::move(resource), 0};
}

// ---------------------------------------------------------------------------
// The image around the resource section

const char* const kDirectoryNames[16] = {"export table", "import table", "resource table", "exception table",
                                         "certificate table", "base relocation table", "debug directory",
                                         "architecture data", "global pointer", "TLS table", "load configuration",
                                         "bound import table", "import address table", "delay import table",
                                         "CLR header", "reserved directory"};
constexpr size_t kResourceDirectory = 2, kCertificateDirectory = 4, kRelocationDirectory = 5, kDebugDirectory = 6;
constexpr uint32_t kInitializedData = 0x40;

uint64_t Extent(const PeSection& s) { return std::max(s.virtualSize, s.rawSize); }

bool Overlaps(uint64_t a, uint64_t aEnd, uint64_t b, uint64_t bEnd) { return a < bEnd && b < aEnd; }

PeInfo ParseOrRefuse(const Bytes& image) {
    PeInfo info;
    std::string error;
    if (!ParsePe(image, info, error)) Refuse(error);
    return info;
}

// What may change: the resource section and everything after it in the image.
struct Layout {
    PeInfo info;
    size_t resources = 0;  // index of the resource section; every later section moves
    uint64_t changingFrom = 0, changingTo = 0;  // RVAs
};

void CheckRelocations(const Bytes& image, const Layout& layout) {
    const PeInfo& info = layout.info;
    if (info.directories.size() <= kRelocationDirectory || info.directories[kRelocationDirectory].size == 0) return;
    const PeDirectory dir = info.directories[kRelocationDirectory];
    const ImageView view(image, info);
    const Bytes table = view.Read(dir.rva, dir.size, "the base relocation table");
    const Reader r(table.data(), table.size(), "the base relocation table");
    const unsigned width = info.pe32Plus ? 8 : 4;
    const unsigned pointerType = info.pe32Plus ? 10 : 3;  // IMAGE_REL_BASED_DIR64 : HIGHLOW
    for (uint64_t at = 0; at + 8 <= table.size();) {
        const uint32_t page = r.U32(at), blockSize = r.U32(at + 4);
        if (blockSize < 8 || blockSize % 2 || at + blockSize > table.size())
            Refuse("the base relocation table is malformed (a block of " + Num(blockSize) + " bytes at " + Num(at) + ")");
        for (uint64_t e = at + 8; e < at + blockSize; e += 2) {
            const uint16_t entry = r.U16(e);
            const unsigned type = entry >> 12;
            const uint64_t site = static_cast<uint64_t>(page) + (entry & 0xFFF);
            if (type == 0) continue;  // padding
            if (type != pointerType)
                Refuse("a relocation of type " + Num(type) + " at RVA " + Hex(site) + " is not one whose target can be checked");
            if (Overlaps(site, site + width, layout.changingFrom, layout.changingTo))
                Refuse("a relocation at RVA " + Hex(site) + " lies in the resource section or after it, which is rewritten");
            const Reader value(image.data() + view.Offset(site, width, "a relocated pointer"), width, "a relocated pointer");
            const uint64_t target = (width == 8 ? value.U64(0) : value.U32(0)) - info.imageBase;
            if (target >= layout.changingFrom && target < layout.changingTo)
                Refuse("the pointer at RVA " + Hex(site) + " refers to RVA " + Hex(target) +
                       ", in the resource section or after it, which moves or is rewritten");
        }
        at += blockSize;
    }
}

Layout CheckLayout(const Bytes& image) {
    Layout layout;
    layout.info = ParseOrRefuse(image);
    const PeInfo& info = layout.info;
    const uint32_t fa = info.fileAlignment, sa = info.sectionAlignment;
    auto powerOfTwo = [](uint32_t v) { return v && !(v & (v - 1)); };
    if (!powerOfTwo(fa) || !powerOfTwo(sa) || fa < 512 || sa < fa)
        Refuse("the image has unusual alignments (file " + Hex(fa) + ", sections " + Hex(sa) + ")");
    // Below a page the loader wants each section at the same file offset and
    // RVA; this rewrite keeps no such promise.
    if (sa < 0x1000) Refuse("the image aligns sections to less than a page (" + Hex(sa) + ")");
    if (info.sections.empty()) Refuse("the image has no sections");
    if (info.symbolTableOffset != 0) Refuse("the image has COFF symbols after its sections; strip it first");

    uint64_t fileEnd = 0;
    for (size_t i = 0; i < info.sections.size(); ++i) {
        const PeSection& s = info.sections[i];
        // The loader wants these; an image without them is no image this
        // rewrite can lay out anew (and would not run anyway).
        if (s.virtualAddress % sa || s.rawOffset % fa)
            Refuse("section " + s.name + " is not aligned as the image declares (RVA " + Hex(s.virtualAddress) +
                   ", file offset " + Hex(s.rawOffset) + ")");
        if (s.rawSize) fileEnd = std::max<uint64_t>(fileEnd, static_cast<uint64_t>(s.rawOffset) + s.rawSize);
        if (i && s.virtualAddress < info.sections[i - 1].virtualAddress + Extent(info.sections[i - 1]))
            Refuse("section " + s.name + " overlaps or precedes the one before it in memory");
    }
    if (fileEnd > image.size())
        Refuse("the image is truncated: its sections reach to byte " + Num(fileEnd) + " of a " + Num(image.size()) + "-byte file");
    if (fileEnd < image.size())
        Refuse("the image has " + Num(image.size() - fileEnd) +
               " bytes after its last section (a package, a signature or debug data?); resources are set on the bare launcher");
    if (info.directories.size() > kCertificateDirectory && info.directories[kCertificateDirectory].size)
        Refuse("the image is signed; set its resources before signing");

    if (info.directories.size() <= kResourceDirectory || info.directories[kResourceDirectory].rva == 0)
        Refuse("the image has no resource section");
    const uint32_t resourceRva = info.directories[kResourceDirectory].rva;
    auto found = std::find_if(info.sections.begin(), info.sections.end(),
                              [&](const PeSection& s) { return s.virtualAddress == resourceRva; });
    if (found == info.sections.end()) Refuse("the resource directory does not start a section of its own");
    layout.resources = static_cast<size_t>(found - info.sections.begin());
    const PeSection& resources = *found;
    if (resources.rawSize == 0) Refuse("the resource section has no data in the file");

    // Earlier sections keep their place in the file, so their data must lie
    // before the resource section's.
    for (size_t i = 0; i < layout.resources; ++i) {
        const PeSection& s = info.sections[i];
        if (s.rawSize && static_cast<uint64_t>(s.rawOffset) + s.rawSize > resources.rawOffset)
            Refuse("section " + s.name + " precedes the resource section in memory but not in the file");
    }
    // Only a relocation section can move: its content holds RVAs of other
    // sections, never of itself, and one data directory entry points at it.
    uint64_t rawEnd = static_cast<uint64_t>(resources.rawOffset) + resources.rawSize;
    for (size_t i = layout.resources + 1; i < info.sections.size(); ++i) {
        const PeSection& s = info.sections[i];
        const std::string refusal = "section " + s.name + " follows the resource section and ";
        if (info.directories.size() <= kRelocationDirectory) Refuse(refusal + "is not the relocation section");
        const PeDirectory relocations = info.directories[kRelocationDirectory];
        if (relocations.size == 0 || relocations.rva < s.virtualAddress ||
            static_cast<uint64_t>(relocations.rva) + relocations.size > s.virtualAddress + static_cast<uint64_t>(s.rawSize))
            Refuse(refusal + "is not the relocation section; only that can move");
        if (s.rawOffset < rawEnd) Refuse(refusal + "does not follow it in the file");
        for (uint64_t at = 0; at < s.rawSize; ++at) {
            const uint64_t rva = s.virtualAddress + at;
            if ((rva < relocations.rva || rva >= relocations.rva + static_cast<uint64_t>(relocations.size)) &&
                image[s.rawOffset + at] != 0)
                Refuse(refusal + "holds more than the base relocation table; only relocations can move");
        }
        rawEnd = static_cast<uint64_t>(s.rawOffset) + s.rawSize;
    }
    layout.changingFrom = resources.virtualAddress;
    layout.changingTo = info.sections.back().virtualAddress + Extent(info.sections.back());

    for (size_t d = 0; d < info.directories.size(); ++d) {
        const PeDirectory dir = info.directories[d];
        if (d == kResourceDirectory || d == kCertificateDirectory || dir.size == 0) continue;
        const bool inResources = Overlaps(dir.rva, static_cast<uint64_t>(dir.rva) + dir.size, resources.virtualAddress,
                                          resources.virtualAddress + Extent(resources));
        const bool inMoving = Overlaps(dir.rva, static_cast<uint64_t>(dir.rva) + dir.size, layout.changingFrom, layout.changingTo);
        if (inResources || (inMoving && d != kRelocationDirectory))
            Refuse("the " + std::string(kDirectoryNames[d]) + " lies in the resource section or after it");
    }
    if (info.entryPoint >= layout.changingFrom && info.entryPoint < layout.changingTo)
        Refuse("the entry point lies in the resource section or after it");
    // Debug data is found by file offset, which would shift.
    if (info.directories.size() > kDebugDirectory && info.directories[kDebugDirectory].size) {
        const PeDirectory dir = info.directories[kDebugDirectory];
        const Bytes table = ImageView(image, info).Read(dir.rva, dir.size, "the debug directory");
        const Reader r(table.data(), table.size(), "the debug directory");
        for (uint64_t at = 0; at + 28 <= table.size(); at += 28)
            if (r.U32(at + 16) && r.U32(at + 24) >= resources.rawOffset)
                Refuse("debug data lies in the resource section or after it in the file");
    }
    CheckRelocations(image, layout);
    return layout;
}

Tree ReadTreeOf(const Bytes& image, const PeInfo& info) {
    const ImageView view(image, info);
    return TreeReader(view, info.directories[kResourceDirectory].rva, image.size()).Read();
}

Bytes UpdateOrRefuse(const Bytes& image, const ResourceUpdate& update) {
    const Layout layout = CheckLayout(image);
    const PeInfo& info = layout.info;
    Tree tree = ReadTreeOf(image, info);

    std::set<std::tuple<ResourceId, ResourceId, uint16_t>> given;
    for (const RawResource& r : update.resources) {
        if (!given.emplace(r.type, r.name, r.language).second)
            Refuse("resource " + r.type.Describe(true) + " " + r.name.Describe() + " language " + Num(r.language) +
                   " is given twice");
        tree.entries[r.type].entries[r.name].entries[ResourceId::Number(r.language)] = Leaf{r.data, r.codePage};
    }
    if (update.version) SetVersion(tree, *update.version);
    if (update.icon) SetIcon(tree, *update.icon);

    const PeSection& resources = info.sections[layout.resources];
    const Bytes content = WriteTree(tree, resources.virtualAddress);
    const uint32_t fa = info.fileAlignment, sa = info.sectionAlignment;
    const uint64_t newRawSize = AlignUp(content.size(), fa);

    Bytes out(image.begin(), image.begin() + resources.rawOffset);
    out.insert(out.end(), content.begin(), content.end());
    out.resize(resources.rawOffset + newRawSize, 0);
    const uint32_t table = info.sectionTableOffset, opt = info.optionalHeaderOffset;
    const size_t directories = opt + (info.pe32Plus ? 112 : 96);
    Put32(out, table + 40 * layout.resources + 8, static_cast<uint32_t>(content.size()));
    Put32(out, table + 40 * layout.resources + 16, static_cast<uint32_t>(newRawSize));
    Put32(out, directories + 8 * kResourceDirectory + 4, static_cast<uint32_t>(content.size()));

    uint64_t nextRva = AlignUp(resources.virtualAddress + content.size(), sa);
    for (size_t i = layout.resources + 1; i < info.sections.size(); ++i) {
        const PeSection& s = info.sections[i];
        const uint64_t header = table + 40 * i;
        Put32(out, header + 12, static_cast<uint32_t>(nextRva));
        Put32(out, header + 20, static_cast<uint32_t>(out.size()));
        const PeDirectory relocations = info.directories[kRelocationDirectory];
        if (relocations.rva >= s.virtualAddress && relocations.rva < s.virtualAddress + Extent(s))
            Put32(out, directories + 8 * kRelocationDirectory,
                  static_cast<uint32_t>(nextRva + (relocations.rva - s.virtualAddress)));
        out.insert(out.end(), image.begin() + s.rawOffset, image.begin() + s.rawOffset + s.rawSize);
        nextRva = AlignUp(nextRva + Extent(s), sa);
    }
    if (nextRva > 0xFFFFFFFFu || out.size() > 0xFFFFFFFFu) Refuse("the image would grow past 4 GiB");
    Put32(out, opt + 56, static_cast<uint32_t>(nextRva));  // SizeOfImage
    if (resources.characteristics & kInitializedData) {
        const uint32_t initialized = Reader(out.data(), out.size(), "the optional header").U32(opt + 8);
        Put32(out, opt + 8, static_cast<uint32_t>(initialized + newRawSize - resources.rawSize));
    }
    std::string error;
    if (!StorePeChecksum(out, error)) Refuse(error);
    return out;
}

// Where the optional header's CheckSum field is; the same in PE32 and PE32+.
uint64_t ChecksumFieldOffset(const uint8_t* file, size_t size) {
    const Reader r(file, size, "the PE header");
    if (size < 64 || file[0] != 'M' || file[1] != 'Z') Refuse("not a PE image (no MZ signature)");
    const uint64_t pe = r.U32(0x3C);
    if (r.U32(pe) != 0x00004550) Refuse("not a PE image (no PE signature at e_lfanew)");
    const uint16_t magic = r.U16(pe + 24);
    if (magic != 0x10b && magic != 0x20b) Refuse("not a PE image (unknown optional header magic)");
    r.Need(pe + 24 + 64, 4);
    return pe + 24 + 64;
}

// ---------------------------------------------------------------------------
// Reading back

IconGroup ReadIconGroup(const Tree& tree, const ResourceId& name, const ResourceId& language, const Bytes& data) {
    IconGroup group;
    group.name = name;
    group.language = static_cast<uint16_t>(language.id);
    const Reader r(data.data(), data.size(), "icon group " + name.Describe());
    GroupIconIds(data, name.Describe());
    const auto icons = tree.entries.find(ResourceId::Number(kRtIcon));
    for (uint32_t i = 0, count = r.U16(4); i < count; ++i) {
        const uint64_t e = 6 + 14ull * i;
        IconGroupImage image;
        image.width = r.U8(e) ? r.U8(e) : 256;
        image.height = r.U8(e + 1) ? r.U8(e + 1) : 256;
        image.colorCount = r.U8(e + 2);
        image.planes = r.U16(e + 4);
        image.bitCount = r.U16(e + 6);
        image.size = r.U32(e + 8);
        image.iconId = r.U16(e + 12);
        if (icons != tree.entries.end()) {
            const auto icon = icons->second.entries.find(ResourceId::Number(image.iconId));
            if (icon != icons->second.entries.end() && !icon->second.entries.empty()) {
                // Windows looks the icon up in the group's language first.
                auto leaf = icon->second.entries.find(language);
                if (leaf == icon->second.entries.end()) leaf = icon->second.entries.begin();
                image.present = true;
                image.png = leaf->second.data.size() >= 8 && std::memcmp(leaf->second.data.data(), kPngSignature, 8) == 0;
            }
        }
        group.images.push_back(image);
    }
    return group;
}

void ReadOrRefuse(const Bytes& image, ResourceReport& out) {
    const PeInfo info = ParseOrRefuse(image);
    ResourceReport report;
    if (info.directories.size() > kResourceDirectory && info.directories[kResourceDirectory].rva) {
        const Tree tree = ReadTreeOf(image, info);
        for (const auto& [type, names] : tree.entries)
            for (const auto& [name, languages] : names.entries)
                for (const auto& [language, leaf] : languages.entries)
                    report.entries.push_back({type, name, static_cast<uint16_t>(language.id),
                                              static_cast<uint32_t>(leaf.data.size()), leaf.codePage});
        const auto versions = tree.entries.find(ResourceId::Number(kRtVersion));
        if (versions != tree.entries.end()) {
            const auto main = versions->second.entries.find(ResourceId::Number(1));
            if (main != versions->second.entries.end() && !main->second.entries.empty()) {
                VersionInfo version;
                ParseVersionOrRefuse(main->second.entries.begin()->second.data, version);
                report.version = std::move(version);
            }
        }
        const auto groups = tree.entries.find(ResourceId::Number(kRtGroupIcon));
        if (groups != tree.entries.end() && !groups->second.entries.empty()) {
            const auto& [name, languages] = *groups->second.entries.begin();
            if (!languages.entries.empty())
                report.mainIcon = ReadIconGroup(tree, name, languages.entries.begin()->first, languages.entries.begin()->second.data);
        }
    }
    out = std::move(report);
}

}  // namespace

const char* const kVersionKeys[] = {"CompanyName",    "FileDescription", "FileVersion",
                                    "ProductName",    "ProductVersion",  "LegalCopyright",
                                    "OriginalFilename", "InternalName",  "Comments"};

bool ParseFixedVersion(const std::string& text, uint32_t& ms, uint32_t& ls) {
    uint32_t parts[4] = {};
    size_t count = 0, i = 0;
    for (;;) {
        if (count == 4 || i == text.size() || text[i] < '0' || text[i] > '9') return false;
        uint32_t value = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            value = value * 10 + static_cast<uint32_t>(text[i++] - '0');
            if (value > 0xFFFF) return false;
        }
        parts[count++] = value;
        if (i == text.size()) break;
        if (text[i++] != '.') return false;
    }
    ms = parts[0] << 16 | parts[1];
    ls = parts[2] << 16 | parts[3];
    return true;
}



bool ResourceId::operator<(const ResourceId& o) const {
    if (named != o.named) return named;
    return named ? name < o.name : id < o.id;
}

std::string ResourceId::Describe(bool asType) const {
    if (named) return "\"" + Utf16ToUtf8(name) + "\"";
    static const char* const kTypes[] = {nullptr,        "RT_CURSOR",       "RT_BITMAP",    "RT_ICON",
                                         "RT_MENU",      "RT_DIALOG",       "RT_STRING",    "RT_FONTDIR",
                                         "RT_FONT",      "RT_ACCELERATOR",  "RT_RCDATA",    "RT_MESSAGETABLE",
                                         "RT_GROUP_CURSOR", nullptr,        "RT_GROUP_ICON", nullptr,
                                         "RT_VERSION",   "RT_DLGINCLUDE",   nullptr,        "RT_PLUGPLAY",
                                         "RT_VXD",       "RT_ANICURSOR",    "RT_ANIICON",   "RT_HTML",
                                         "RT_MANIFEST"};
    if (asType && id < std::size(kTypes) && kTypes[id]) return std::string(kTypes[id]) + " (" + Num(id) + ")";
    return Num(id);
}

bool ParseIco(const Bytes& file, std::vector<IconImage>& images, std::string& error) {
    return Guarded(error, [&] { ParseIcoOrRefuse(file, images); });
}

bool BuildVersionResource(const VersionStrings& strings, Bytes& resource, std::string& error) {
    return Guarded(error, [&] { resource = BuildVersionOrRefuse(strings); });
}

bool ParseVersionResource(const Bytes& resource, VersionInfo& info, std::string& error) {
    return Guarded(error, [&] { ParseVersionOrRefuse(resource, info); });
}

bool UpdateResources(Bytes& image, const ResourceUpdate& update, std::string& error) {
    return Guarded(error, [&] { image = UpdateOrRefuse(image, update); });
}

bool ReadResources(const Bytes& image, ResourceReport& report, std::string& error) {
    return Guarded(error, [&] { ReadOrRefuse(image, report); });
}

bool ComputePeChecksum(const uint8_t* file, size_t n, uint32_t& checksum, std::string& error) {
    uint64_t field = 0;
    if (!Guarded(error, [&] { field = ChecksumFieldOffset(file, n); })) return false;
    PeChecksum sum(field);
    sum.Add(file, n);
    checksum = sum.Finish();
    return true;
}

bool ComputePeChecksum(const Bytes& file, uint32_t& checksum, std::string& error) {
    return ComputePeChecksum(file.data(), file.size(), checksum, error);
}

bool StorePeChecksum(Bytes& file, std::string& error) {
    uint32_t checksum = 0;
    if (!ComputePeChecksum(file, checksum, error)) return false;
    Put32(file, ChecksumFieldOffset(file.data(), file.size()), checksum);
    return true;
}

std::string FormatFixedVersion(uint32_t ms, uint32_t ls) {
    return Num(ms >> 16) + "." + Num(ms & 0xFFFF) + "." + Num(ls >> 16) + "." + Num(ls & 0xFFFF);
}
