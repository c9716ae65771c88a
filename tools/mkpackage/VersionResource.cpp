#include "VersionResource.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <set>

#include "PeBytes.h"

using namespace pe_bytes;

namespace {

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

bool BuildVersionResource(const VersionStrings& strings, Bytes& resource, std::string& error) {
    return Guarded(error, [&] { resource = BuildVersionOrRefuse(strings); });
}

bool ParseVersionResource(const Bytes& resource, VersionInfo& info, std::string& error) {
    return Guarded(error, [&] { ParseVersionOrRefuse(resource, info); });
}

std::string FormatFixedVersion(uint32_t ms, uint32_t ls) {
    return Num(ms >> 16) + "." + Num(ms & 0xFFFF) + "." + Num(ls >> 16) + "." + Num(ls & 0xFFFF);
}

