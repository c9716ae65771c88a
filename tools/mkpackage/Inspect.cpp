// mkpackage inspect: the locator and header in words (or as one JSON
// object), with the launcher, its resources, the launcher's checks and what
// follows the package.
#include <sstream>
#include <tuple>

#include "Commands.h"
#include "EmbeddedLaunchers.h"
#include "Options.h"
#include "PackageCheck.h"
#include "PeImage.h"
#include "ResourceTree.h"
#include "TerminalText.h"

const char* const kInspectHelp = R"(usage: mkpackage inspect FILE [--json]

Shows what a package file holds: the locator (offsets, sizes, checksum), the
header (LZMA settings, allowed Windows versions by name, Windows 10 and 11
release ranges with 9999 as "no upper bound", elevation mode, engines, both
message texts), the launcher's image (whether it is one built into this
mkpackage, its icon and version information) and any bytes between it and
the package, whether the size rule, the CRC-32 and the decoding of each
engine pass, and how many bytes follow the package as built (normally a
signature added afterwards).  Warns about what the launcher accepts but runs
wrongly or a vendor must know, as 'mkpackage verify' does.  Control
characters in texts and names are shown escaped (\n, \x1b, \u0085).  FILE may
be - (standard input) or another stream, as for 'mkpackage verify'.

  --json      print one JSON object instead, for scripts
  -h, --help  this text

Exits 0 when the locator and header could be read, whatever the checks say
(use 'mkpackage verify' to judge a package), 1 when the file cannot be read
or holds no package, 2 on a usage error.

Examples:
  mkpackage inspect MySetup.exe
  mkpackage inspect MySetup.exe --json | jq .header.allowedWindows
)";

namespace {

std::string Quoted(const std::u16string& text) {
    std::string body = Printable(text);
    std::string out = "\"";
    for (char c : body) out += c == '"' ? std::string("\\\"") : std::string(1, c);
    return out + "\"";
}

std::string Json(const std::string& utf8) {
    std::string out = "\"";
    for (unsigned char c : utf8) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char esc[8];
                    std::snprintf(esc, sizeof esc, "\\u%04x", c);
                    out += esc;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

// UTF-16 straight to a JSON string: lone surrogates, which have no UTF-8
// form, become \u escapes so that the output stays valid JSON.
std::string Json(const std::u16string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        const bool high = c >= 0xD800 && c < 0xDC00, low = c >= 0xDC00 && c < 0xE000;
        if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            const std::string pair = Json(Utf16ToUtf8(text.substr(i, 2)));
            out += pair.substr(1, pair.size() - 2);
            ++i;
        } else if (high || low || (c >= 0x80 && c < 0xA0)) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(c));
            out += esc;
        } else {
            const std::string one = Json(Utf16ToUtf8(std::u16string(1, c)));
            out += one.substr(1, one.size() - 2);
        }
    }
    return out + "\"";
}

// A path as JSON: valid UTF-8 as text, anything else byte by byte escaped.
std::string JsonPath(const std::string& path) {
    try {
        return Json(Utf8ToUtf16(path));
    } catch (const PackageError&) {
        return Json(PrintableUtf8(path));
    }
}

std::vector<std::string> AllowedNames(const AllowedWindowsSet& set, std::vector<unsigned>& otherBits) {
    std::vector<std::string> names;
    for (const WindowsName& n : WindowsNames())
        if (set.Contains(n.element)) names.push_back(n.name);
    for (unsigned e = 12; e < 63; ++e)
        if (set.Contains(e)) otherBits.push_back(e);
    return names;
}

std::string Join(const std::vector<std::string>& items, const char* separator) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) out += (i ? separator : "") + items[i];
    return out;
}

std::string SetBytesHex(const AllowedWindowsSet& set) {
    std::string out;
    char hex[4];
    for (int i = 0; i < 8; ++i) {
        std::snprintf(hex, sizeof hex, i ? " %02X" : "%02X", set.bytes[i]);
        out += hex;
    }
    return out;
}

// Which launcher carries the package, compared with those built in.
struct LauncherIdentity {
    const char* builtIn = nullptr;  // the built-in launcher's name, when it is one
    bool identical = false;         // byte for byte (but the locator and the checksum field)
    bool sameCode = false;          // same sections but the resources
};

// Whether two images are the same but for what the builder writes into a
// launcher: the locator and the PE checksum.
bool SameImage(const uint8_t* a, size_t aSize, const uint8_t* b, size_t bSize) {
    if (aSize != bSize) return false;
    const uint64_t field = PeChecksumFieldOffset(a, aSize);
    if (field != PeChecksumFieldOffset(b, bSize)) return false;
    for (size_t i = 0; i < aSize; ++i) {
        const bool builders = (i >= kLocatorOffset && i < kLocatorOffset + kLocatorSize) ||
                              (field && i >= field && i < field + 4);
        if (!builders && a[i] != b[i]) return false;
    }
    return true;
}

LauncherIdentity IdentifyLauncher(const uint8_t* image, size_t size) {
    LauncherIdentity id;
    PeInfo info;
    std::string error;
    if (!ParsePeHeaders(image, size, info, error)) return id;
    for (bool x64 : {false, true}) {
        const EmbeddedLauncher* builtIn = BuiltInLauncher(x64);
        if (!builtIn) continue;
        if (SameImage(image, size, builtIn->data, builtIn->size)) return {builtIn->name, true, true};
        // Resources rewritten (an icon, version information): the code and
        // data sections before the resources are the built-in ones.
        PeInfo builtInfo;
        if (!ParsePeHeaders(builtIn->data, builtIn->size, builtInfo, error)) continue;
        bool same = !info.sections.empty() && info.sections.size() == builtInfo.sections.size();
        for (size_t i = 0; same && i < info.sections.size(); ++i) {
            const PeSection &a = info.sections[i], &b = builtInfo.sections[i];
            if (a.name == ".rsrc" || a.name == ".reloc") {
                same = a.name == b.name;
                continue;
            }
            same = a.name == b.name && a.rawSize == b.rawSize && a.virtualAddress == b.virtualAddress &&
                   uint64_t{a.rawOffset} + a.rawSize <= size && uint64_t{b.rawOffset} + b.rawSize <= builtIn->size &&
                   std::equal(image + a.rawOffset, image + a.rawOffset + a.rawSize, builtIn->data + b.rawOffset);
        }
        if (same) return {builtIn->name, false, true};
    }
    return id;
}

// A launcher is a small program (the built-in ones are 32 KB); a larger
// image is no launcher worth reading the resources of, and reading them
// costs up to three times its size in memory.
constexpr uint64_t kLargestLauncherExamined = 32u << 20;

std::string LauncherText(const LauncherIdentity& id, size_t size) {
    if (id.identical) return std::string("the built-in ") + id.builtIn + ", byte for byte (" + CountText(size, "byte", "bytes") + ")";
    if (id.sameCode)
        return std::string("the built-in ") + id.builtIn + " with other resources (icon or version information; " +
               CountText(size, "byte", "bytes") + ")";
    return "not one built into this mkpackage (" + CountText(size, "byte", "bytes") + ")";
}

// The facts both forms of output are made of.
struct Facts {
    uint64_t fileSize = 0;
    bool sizeRule = false;
    std::optional<uint32_t> crc;
    int64_t afterPackage = 0;  // bytes after expectedFileSize; negative when the file is short
    std::optional<CertificateTable> certificates;
    uint64_t engineDataBytes = 0, engineDataChecked = 0;
    std::vector<std::string> allowed;
    std::vector<unsigned> otherBits;
    LzmaProperties lzma;
    // The launcher's image, up to the end of its last section, and the
    // bytes from there to the package, which no launcher reads: a file may
    // put its package gigabytes in.
    uint64_t launcherSize = 0, beforePackage = 0;
    bool launcherExamined = false;
    LauncherIdentity launcherId;
    ResourceReport resources;
    bool resourcesRead = false;
    // How each engine decodes; empty when there is none or it cannot be read.
    std::optional<PayloadDecoding> decoded32, decoded64;
    std::vector<std::string> warnings;
};

std::optional<PayloadDecoding> TryDecode(const PackageFile& f, const char* name, const PayloadEntry& e, bool is64) {
    if (e.offset == 0 || (is64 && e.offset == kRefuse64BitWindows)) return std::nullopt;
    if (!PayloadProblem(f, name, e).empty() || !LzmaPropertiesProblem(PropertiesOf(f.header)).empty())
        return std::nullopt;
    return DecodePayload(f, e);
}

Facts Gather(const PackageFile& f) {
    Facts x;
    const PackageLocator& l = f.locator;
    const PackageHeader& h = f.header;
    x.fileSize = f.Size();
    x.sizeRule = SizeRulePasses(f);
    x.crc = CheckedBlockCrc(f);
    x.afterPackage = static_cast<int64_t>(x.fileSize) - l.ExpectedFileSize();
    x.certificates = FindCertificateTable(f);
    const int64_t end = l.ExpectedFileSize();
    if (end > h.dataOffset) x.engineDataBytes = static_cast<uint64_t>(end - h.dataOffset);
    const uint64_t blockEnd = uint64_t{l.packageOffset} + l.checkedLength;
    if (blockEnd > h.dataOffset) x.engineDataChecked = blockEnd - h.dataOffset;
    x.allowed = AllowedNames(h.allowedWindows, x.otherBits);
    x.lzma = PropertiesOf(h);
    PeInfo pe;
    std::string error;
    const uint64_t upToPackage = std::min<uint64_t>(l.packageOffset, f.Size());
    x.launcherSize = ParsePeHeaders(f.bytes.data(), f.Size(), pe, error) ? std::min<uint64_t>(pe.imageEnd, upToPackage)
                                                                         : upToPackage;
    x.beforePackage = upToPackage - x.launcherSize;
    x.launcherExamined = x.launcherSize <= kLargestLauncherExamined;
    if (x.launcherExamined) {
        const size_t size = static_cast<size_t>(x.launcherSize);
        x.launcherId = IdentifyLauncher(f.bytes.data(), size);
        x.resourcesRead = ReadResources(f.bytes.data(), size, x.resources, error);
    }
    x.decoded32 = TryDecode(f, "engine32", h.engine32, false);
    x.decoded64 = TryDecode(f, "engine64", h.engine64, true);
    for (const auto& [name, decoded, entry] :
         {std::make_tuple("engine32", &x.decoded32, &h.engine32), std::make_tuple("engine64", &x.decoded64, &h.engine64)})
        if (*decoded) {
            if (std::string cut = CutEngineWarning(name, *entry, **decoded); !cut.empty())
                x.warnings.push_back(std::move(cut));
            if (x.certificates && !(*decoded)->certificates && (*decoded)->produced == entry->unpackedSize)
                x.warnings.push_back(UnsignedEngineWarning(name));
        }
    for (const std::string& w : LayoutWarnings(f)) x.warnings.push_back(w);
    return x;
}

std::string EngineText(const PayloadEntry& e, bool is64) {
    if (is64 && e.offset == kRefuse64BitWindows) return "none; 64-bit Windows is refused (offset 0xFFFFFFFF)";
    if (e.offset == 0) return "none";
    return "offset " + std::to_string(e.offset) + ", packed " + std::to_string(e.packedSize) + ", unpacked " +
           std::to_string(e.unpackedSize);
}

std::string DecodingText(const PackageFile& f, const char* name, const std::optional<PayloadDecoding>& d,
                         const PayloadEntry& e) {
    if (!d) {
        const std::string problem = PayloadProblem(f, name, e);
        return "FAILS: " + (problem.empty() ? std::string("the payload cannot be decoded (see mkpackage verify)") : problem);
    }
    if (d->produced == e.unpackedSize) return "passes: decodes to exactly " + CountText(e.unpackedSize, "byte", "bytes");
    return "FAILS: decodes to " + CountText(d->produced, "byte", "bytes") + ", not " + std::to_string(e.unpackedSize);
}

std::string MessageTextLine(const PackageFile& f, const MessageRef& m) {
    if (m.length == 0) return "empty";
    const auto text = MessageText(f, m);
    const std::string where = CountText(m.length, "UTF-16 unit", "UTF-16 units") + " at " + std::to_string(m.offset);
    return text ? where + ": " + Quoted(*text) : where + ", beyond the end of the file";
}

std::string IconText(const IconGroup& group) {
    std::vector<std::string> sizes;
    for (const IconGroupImage& image : group.images)
        sizes.push_back(std::to_string(image.width) + "x" + std::to_string(image.height) + " " +
                        std::to_string(image.bitCount) + "-bit" + (image.png ? " PNG" : ""));
    return "group " + group.name.Describe() + ": " + Join(sizes, ", ");
}

void PrintText(const PackageFile& f, std::ostream& out) {
    const PackageLocator& l = f.locator;
    const PackageHeader& h = f.header;
    const Facts x = Gather(f);
    auto row = [&](const char* name, const std::string& value) {
        out << "  " << name << std::string(19 - std::string(name).size(), ' ') << value << "\n";
    };
    out << PrintableUtf8(f.path) << ": " << CountText(x.fileSize, "byte", "bytes") << "\n";
    out << "launcher (bytes 0-" << (x.launcherSize ? x.launcherSize - 1 : 0) << ")\n";
    row("launcher", x.launcherExamined ? LauncherText(x.launcherId, x.launcherSize)
                                       : "a PE image of " + CountText(x.launcherSize, "byte", "bytes") +
                                             ", larger than any launcher: not examined");
    if (x.beforePackage)
        row("before the package", CountText(x.beforePackage, "byte", "bytes") + " after the image, up to the package at " +
                                      std::to_string(l.packageOffset) + ": no part of the launcher, which never reads them");
    if (x.resourcesRead && x.resources.mainIcon) row("icon", IconText(*x.resources.mainIcon));
    else row("icon", "none");
    if (x.resourcesRead && x.resources.version) {
        const VersionInfo& v = *x.resources.version;
        if (v.hasFixedInfo)
            row("version", "file " + FormatFixedVersion(v.fileVersionMS, v.fileVersionLS) + ", product " +
                               FormatFixedVersion(v.productVersionMS, v.productVersionLS));
        for (const VersionStringTable& table : v.stringTables)
            for (const auto& [key, value] : table.strings)
                out << "    " << Printable(Wtf8ToUtf16(key), false)
                    << std::string(key.size() < 17 ? 17 - key.size() : 1, ' ') << Quoted(Wtf8ToUtf16(value)) << "\n";
    } else {
        row("version", "none");
    }
    out << "locator (bytes 128-151)\n";
    row("packageOffset", std::to_string(l.packageOffset) + " (" + Hex32(l.packageOffset) + ")");
    row("checkedLength", std::to_string(l.checkedLength) + " (the block ends at " +
                             std::to_string(uint64_t{l.packageOffset} + l.checkedLength) + ")");
    row("checkedCrc", Hex32(l.checkedCrc));
    row("expectedFileSize", std::to_string(l.ExpectedFileSize()));
    row("minimumFileSize",
        l.minimumFileSize ? std::to_string(l.minimumFileSize) +
                                " (the size rule uses it; the launcher neither waits for the engine nor deletes it)"
                          : std::string("0 (off)"));
    out << "header (74 bytes at " << l.packageOffset << ")\n";
    char props[8];
    std::snprintf(props, sizeof props, "0x%02X", h.lzmaProperties[0]);
    row("LZMA properties", std::string(props) + ": lc " + std::to_string(x.lzma.lc) + ", lp " + std::to_string(x.lzma.lp) +
                               ", pb " + std::to_string(x.lzma.pb) + "; dictionary " +
                               CountText(x.lzma.dictionary, "byte", "bytes"));
    std::string allowed = x.allowed.empty() ? std::string("none") : Join(x.allowed, ", ");
    allowed += " (" + SetBytesHex(h.allowedWindows) + ")";
    if (!x.otherBits.empty()) {
        std::vector<std::string> bits;
        for (unsigned b : x.otherBits) bits.push_back(std::to_string(b));
        allowed += "; unused elements set: " + Join(bits, ", ");
    }
    row("allowed Windows", allowed);
    row("Windows 10", "releases " + ReleaseRangeText(h.win10MinRelease, h.win10MaxRelease));
    row("Windows 11", "releases " + ReleaseRangeText(h.win11MinRelease, h.win11MaxRelease));
    row("elevation", std::to_string(h.elevationMode) + ", " + ElevationName(h.elevationMode) + ": " +
                         ElevationMeaning(h.elevationMode));
    row("engine32", EngineText(h.engine32, false));
    row("engine64", EngineText(h.engine64, true));
    row("dataOffset", std::to_string(h.dataOffset) + " (" + CountText(x.engineDataBytes, "byte", "bytes") +
                          " of engine data, " + std::to_string(x.engineDataChecked) + " of them checked)");
    row("wrong-width text", MessageTextLine(f, h.wrongWidthMessage));
    row("unsupported text", MessageTextLine(f, h.unsupportedWindowsMessage));
    out << "checks\n";
    if (l.minimumFileSize)
        row("size rule", std::string(x.sizeRule ? "passes" : "FAILS") + " (file " +
                             CountText(x.fileSize, "byte", "bytes") + ", minimumFileSize " +
                             std::to_string(l.minimumFileSize) + ")");
    else
        row("size rule", std::string(x.sizeRule ? "passes" : "FAILS") + " (file " +
                             CountText(x.fileSize, "byte", "bytes") + ", expectedFileSize " +
                             std::to_string(l.ExpectedFileSize()) + ")");
    if (!x.crc)
        row("CRC-32", "FAILS: the checked block runs past the end of the file");
    else if (*x.crc == l.checkedCrc)
        row("CRC-32", "passes (" + Hex32(*x.crc) + ")");
    else
        row("CRC-32", "FAILS: the checked block gives " + Hex32(*x.crc) + ", the locator says " + Hex32(l.checkedCrc));
    if (h.engine32.offset != 0) row("engine32 decoding", DecodingText(f, "engine32", x.decoded32, h.engine32));
    if (h.engine64.offset != 0 && h.engine64.offset != kRefuse64BitWindows)
        row("engine64 decoding", DecodingText(f, "engine64", x.decoded64, h.engine64));
    if (x.afterPackage > 0)
        row("after the package", CountText(static_cast<uint64_t>(x.afterPackage), "byte", "bytes") +
                                     " after the package (a signature?)");
    else if (x.afterPackage == 0)
        row("after the package", "nothing (the file ends where the package does)");
    else
        row("after the package", "the file is " + CountText(static_cast<uint64_t>(-x.afterPackage), "byte", "bytes") +
                                     " short of the package");
    if (x.certificates)
        row("signature", "certificate table of " + CountText(x.certificates->size, "byte", "bytes") + " at " +
                             std::to_string(x.certificates->offset) +
                             (static_cast<int64_t>(x.certificates->offset) >= l.ExpectedFileSize() ? ""
                                                                                                    : ", INSIDE the package"));
    else
        row("signature", "none: the package is not signed");
    for (const auto& [name, decoded] : {std::make_pair("engine32 signature", &x.decoded32),
                                        std::make_pair("engine64 signature", &x.decoded64)})
        if (*decoded && (*decoded)->produced > 0)
            row(name, (*decoded)->certificates
                          ? "certificate table of " + CountText((*decoded)->certificates->size, "byte", "bytes")
                          : std::string("none: Windows' elevation prompt for it shows 'Unknown publisher'"));
    for (const std::string& w : x.warnings) out << "warning: " << w << "\n";
}

std::string JsonPayload(const PayloadEntry& e) {
    if (e.offset == 0 || e.offset == kRefuse64BitWindows) return "null";
    return "{\"offset\": " + std::to_string(e.offset) + ", \"packedSize\": " + std::to_string(e.packedSize) +
           ", \"unpackedSize\": " + std::to_string(e.unpackedSize) + "}";
}

std::string JsonDecoding(const std::optional<PayloadDecoding>& d, const PayloadEntry& e, bool present) {
    if (!present) return "null";
    if (!d) return "{\"passes\": false, \"decodedSize\": null}";
    return std::string("{\"passes\": ") + (d->produced == e.unpackedSize ? "true" : "false") +
           ", \"decodedSize\": " + std::to_string(d->produced) + ", \"packedBytesLeft\": " +
           std::to_string(d->packedLeft) + ", \"streamGoesOn\": " + (d->streamGoesOn ? "true" : "false") +
           ", \"packedBytesAfterEnd\": " + std::to_string(d->packedAfterEnd) + ", \"certificateTable\": " +
           (d->certificates ? "{\"offset\": " + std::to_string(d->certificates->offset) + ", \"size\": " +
                                  std::to_string(d->certificates->size) + "}"
                            : std::string("null")) +
           "}";
}

std::string JsonMessage(const PackageFile& f, const MessageRef& m) {
    const auto text = MessageText(f, m);
    return "{\"offset\": " + std::to_string(m.offset) + ", \"length\": " + std::to_string(m.length) +
           ", \"text\": " + (text ? Json(*text) : std::string("null")) + "}";
}

// Version strings are read from UTF-16, lone surrogates kept (WTF-8).
std::string JsonResourceText(const std::string& text) { return Json(Wtf8ToUtf16(text)); }

std::string JsonLauncher(const Facts& x) {
    std::string out = "{\"size\": " + std::to_string(x.launcherSize) + ", \"bytesBeforePackage\": " +
                      std::to_string(x.beforePackage) + ", \"examined\": " + (x.launcherExamined ? "true" : "false") +
                      ", \"builtIn\": " +
                      (x.launcherId.builtIn ? Json(std::string(x.launcherId.builtIn)) : std::string("null")) +
                      ", \"identical\": " + (x.launcherId.identical ? "true" : "false") + ", \"icon\": ";
    if (x.resourcesRead && x.resources.mainIcon) {
        std::vector<std::string> images;
        for (const IconGroupImage& i : x.resources.mainIcon->images)
            images.push_back("{\"width\": " + std::to_string(i.width) + ", \"height\": " + std::to_string(i.height) +
                             ", \"bitCount\": " + std::to_string(i.bitCount) + ", \"png\": " +
                             (i.png ? "true" : "false") + "}");
        out += "[" + Join(images, ", ") + "]";
    } else {
        out += "null";
    }
    out += ", \"versionInfo\": ";
    if (x.resourcesRead && x.resources.version) {
        const VersionInfo& v = *x.resources.version;
        std::vector<std::string> strings;
        for (const VersionStringTable& table : v.stringTables)
            for (const auto& [key, value] : table.strings) strings.push_back(JsonResourceText(key) + ": " + JsonResourceText(value));
        out += "{\"fileVersion\": " +
               (v.hasFixedInfo ? Json(FormatFixedVersion(v.fileVersionMS, v.fileVersionLS)) : std::string("null")) +
               ", \"productVersion\": " +
               (v.hasFixedInfo ? Json(FormatFixedVersion(v.productVersionMS, v.productVersionLS)) : std::string("null")) +
               ", \"strings\": {" + Join(strings, ", ") + "}}";
    } else {
        out += "null";
    }
    return out + "}";
}

void PrintJson(const PackageFile& f, std::ostream& out) {
    const PackageLocator& l = f.locator;
    const PackageHeader& h = f.header;
    const Facts x = Gather(f);
    std::vector<std::string> allowed;
    for (const std::string& n : x.allowed) allowed.push_back(Json(n));
    auto range = [](uint16_t min, uint16_t max) {
        return "{\"min\": " + std::to_string(min) + ", \"max\": " + std::to_string(max) +
               ", \"noUpperBound\": " + (max >= 9999 ? "true" : "false") + "}";
    };
    std::vector<std::string> warnings;
    for (const std::string& w : x.warnings) warnings.push_back(Json(w));
    out << "{\"file\": " << JsonPath(f.path) << ", \"fileSize\": " << x.fileSize << ",\n"
        << " \"launcher\": " << JsonLauncher(x) << ",\n"
        << " \"locator\": {\"packageOffset\": " << l.packageOffset << ", \"checkedLength\": " << l.checkedLength
        << ", \"checkedCrc\": " << Json(Hex32(l.checkedCrc)) << ", \"expectedFileSize\": " << l.ExpectedFileSize()
        << ", \"minimumFileSize\": " << l.minimumFileSize << "},\n"
        << " \"header\": {\"lzma\": {\"propertiesByte\": " << unsigned{h.lzmaProperties[0]} << ", \"lc\": " << x.lzma.lc
        << ", \"lp\": " << x.lzma.lp << ", \"pb\": " << x.lzma.pb << ", \"dictionarySize\": " << x.lzma.dictionary << "},\n"
        << "  \"allowedWindows\": [" << Join(allowed, ", ") << "], \"allowedWindowsBytes\": "
        << Json(SetBytesHex(h.allowedWindows)) << ",\n"
        << "  \"win10\": " << range(h.win10MinRelease, h.win10MaxRelease)
        << ", \"win11\": " << range(h.win11MinRelease, h.win11MaxRelease) << ",\n"
        << "  \"elevationMode\": " << unsigned{h.elevationMode} << ", \"elevation\": "
        << Json(h.elevationMode == 1 ? "runas" : h.elevationMode == 2 ? "noadmin" : "none") << ",\n"
        << "  \"engine32\": " << JsonPayload(h.engine32) << ",\n"
        << "  \"engine64\": " << JsonPayload(h.engine64) << ",\n"
        << "  \"refuses64BitWindows\": " << (h.engine64.offset == kRefuse64BitWindows ? "true" : "false")
        << ", \"dataOffset\": " << h.dataOffset << ", \"engineDataBytes\": " << x.engineDataBytes
        << ", \"engineDataChecked\": " << x.engineDataChecked << ",\n"
        << "  \"wrongWidthMessage\": " << JsonMessage(f, h.wrongWidthMessage) << ",\n"
        << "  \"unsupportedWindowsMessage\": " << JsonMessage(f, h.unsupportedWindowsMessage) << "},\n"
        << " \"checks\": {\"sizeRule\": " << (x.sizeRule ? "true" : "false")
        << ", \"crc\": " << (x.crc && *x.crc == l.checkedCrc ? "true" : "false")
        << ", \"computedCrc\": " << (x.crc ? Json(Hex32(*x.crc)) : std::string("null"))
        << ",\n  \"engine32\": " << JsonDecoding(x.decoded32, h.engine32, h.engine32.offset != 0)
        << ", \"engine64\": "
        << JsonDecoding(x.decoded64, h.engine64, h.engine64.offset != 0 && h.engine64.offset != kRefuse64BitWindows)
        << "},\n"
        << " \"bytesAfterPackage\": " << x.afterPackage << ", \"certificateTable\": ";
    if (x.certificates)
        out << "{\"offset\": " << x.certificates->offset << ", \"size\": " << x.certificates->size << "}";
    else
        out << "null";
    out << ",\n \"warnings\": [" << Join(warnings, ", ") << "]}\n";
}

}  // namespace

int RunInspect(const std::vector<std::string>& args, Console& console) {
    bool json = false;
    ArgCursor cursor(args);
    while (!cursor.Done()) {
        const std::string opt = cursor.Next();
        if (opt == "-h" || opt == "--help") {
            console.out << kInspectHelp;
            return kExitOk;
        }
        if (opt != "--json") throw UsageError("unknown option " + opt);
        cursor.NoValue(opt);
        json = true;
    }
    const std::string path = cursor.OneFile();
    const PackageFile file = LoadPackageFile(path);
    const std::string noPackage = NoPackageReason(file);
    if (!noPackage.empty()) throw Failure(path + ": " + noPackage);
    if (!file.hasHeader)
        throw Failure(path + ": locator field packageOffset " +
                      std::to_string(file.locator.packageOffset) + " points past the end of the file");
    // Said only once it is known to describe one state of the file.
    std::ostringstream said;
    if (json) PrintJson(file, said);
    else PrintText(file, said);
    CheckUnchanged(file);
    console.out << said.str();
    return kExitOk;
}
