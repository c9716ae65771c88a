// mkpackage inspect: the locator and header in words (or as one JSON
// object), with the size rule, the checksum and what follows the package.
#include <sstream>

#include "Commands.h"
#include "FileIo.h"
#include "Options.h"
#include "PackageCheck.h"
#include "PeImage.h"

const char* const kInspectHelp = R"(usage: mkpackage inspect FILE [--json]

Shows what a package file holds: the locator (offsets, sizes, checksum), the
header (LZMA settings, allowed Windows versions by name, Windows 10 and 11
release ranges with 9999 as "no upper bound", elevation mode, engines, both
message texts), whether the size rule and the CRC-32 pass, and how many bytes
follow the package as built (normally a signature added afterwards).

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

uint32_t U32At(const Bytes& b, uint64_t at) {
    if (at + 4 > b.size()) return 0;
    return static_cast<uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24);
}

// The Authenticode certificate table named by the image's security data
// directory, when there is one.
struct CertificateTable {
    uint32_t offset = 0, size = 0;
};
std::optional<CertificateTable> FindCertificateTable(const Bytes& file) {
    PeInfo info;
    std::string error;
    if (!ParsePe(file, info, error)) return std::nullopt;
    // Signature, file header, then the optional header's fixed part; entry 4
    // of the data directories is the security directory.
    const uint64_t directories = uint64_t{info.peOffset} + 4 + 20 + (info.pe32Plus ? 112 : 96);
    CertificateTable table{U32At(file, directories + 4 * 8), U32At(file, directories + 4 * 8 + 4)};
    if (table.offset == 0 || table.size == 0) return std::nullopt;
    return table;
}

std::string Quoted(const std::u16string& text) {
    std::string out = "\"";
    for (char c : Utf16ToUtf8(text)) {
        if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '\t') out += "\\t";
        else if (c == '"') out += "\\\"";
        else if (c == '\\') out += "\\\\";
        else out += c;
    }
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
        } else if (high || low) {
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
    unsigned lc = 0, lp = 0, pb = 0;
    uint32_t dictionary = 0;
};

Facts Gather(const PackageFile& f) {
    Facts x;
    const PackageLocator& l = f.locator;
    const PackageHeader& h = f.header;
    x.fileSize = f.bytes.size();
    x.sizeRule = SizeRulePasses(f);
    x.crc = CheckedBlockCrc(f);
    x.afterPackage = static_cast<int64_t>(x.fileSize) - l.ExpectedFileSize();
    x.certificates = FindCertificateTable(f.bytes);
    const int64_t end = l.ExpectedFileSize();
    if (end > h.dataOffset) x.engineDataBytes = static_cast<uint64_t>(end - h.dataOffset);
    const uint64_t blockEnd = uint64_t{l.packageOffset} + l.checkedLength;
    if (blockEnd > h.dataOffset) x.engineDataChecked = blockEnd - h.dataOffset;
    x.allowed = AllowedNames(h.allowedWindows, x.otherBits);
    const unsigned d = h.lzmaProperties[0];
    x.lc = d % 9;
    x.lp = (d / 9) % 5;
    x.pb = d / 45;
    x.dictionary = U32At(Bytes(h.lzmaProperties, h.lzmaProperties + 5), 1);
    return x;
}

std::string EngineText(const PayloadEntry& e, bool is64) {
    if (is64 && e.offset == kRefuse64BitWindows) return "none; 64-bit Windows is refused (offset 0xFFFFFFFF)";
    if (e.offset == 0) return "none";
    return "offset " + std::to_string(e.offset) + ", packed " + std::to_string(e.packedSize) + ", unpacked " +
           std::to_string(e.unpackedSize);
}

std::string MessageTextLine(const PackageFile& f, const MessageRef& m) {
    if (m.length == 0) return "empty";
    const auto text = MessageText(f, m);
    const std::string where = std::to_string(m.length) + " UTF-16 units at " + std::to_string(m.offset);
    return text ? where + ": " + Quoted(*text) : where + ", beyond the end of the file";
}

void PrintText(const PackageFile& f, std::ostream& out) {
    const PackageLocator& l = f.locator;
    const PackageHeader& h = f.header;
    const Facts x = Gather(f);
    auto row = [&](const char* name, const std::string& value) {
        out << "  " << name << std::string(19 - std::string(name).size(), ' ') << value << "\n";
    };
    out << f.path << ": " << x.fileSize << " bytes\n";
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
    row("LZMA properties", std::string(props) + ": lc " + std::to_string(x.lc) + ", lp " + std::to_string(x.lp) +
                               ", pb " + std::to_string(x.pb) + "; dictionary " + std::to_string(x.dictionary) +
                               " bytes");
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
    row("dataOffset", std::to_string(h.dataOffset) + " (" + std::to_string(x.engineDataBytes) +
                          " bytes of engine data, " + std::to_string(x.engineDataChecked) + " of them checked)");
    row("wrong-width text", MessageTextLine(f, h.wrongWidthMessage));
    row("unsupported text", MessageTextLine(f, h.unsupportedWindowsMessage));
    out << "checks\n";
    if (l.minimumFileSize)
        row("size rule", std::string(x.sizeRule ? "passes" : "FAILS") + " (file " + std::to_string(x.fileSize) +
                             " bytes, minimumFileSize " + std::to_string(l.minimumFileSize) + ")");
    else
        row("size rule", std::string(x.sizeRule ? "passes" : "FAILS") + " (file " + std::to_string(x.fileSize) +
                             " bytes, expectedFileSize " + std::to_string(l.ExpectedFileSize()) + ")");
    if (!x.crc)
        row("CRC-32", "FAILS: the checked block runs past the end of the file");
    else if (*x.crc == l.checkedCrc)
        row("CRC-32", "passes (" + Hex32(*x.crc) + ")");
    else
        row("CRC-32", "FAILS: the checked block gives " + Hex32(*x.crc) + ", the locator says " + Hex32(l.checkedCrc));
    if (x.afterPackage > 0)
        row("after the package", std::to_string(x.afterPackage) + " bytes after the package (a signature?)");
    else if (x.afterPackage == 0)
        row("after the package", "nothing (the file ends where the package does)");
    else
        row("after the package", "the file is " + std::to_string(-x.afterPackage) + " bytes short of the package");
    if (x.certificates)
        row("signature", "certificate table of " + std::to_string(x.certificates->size) + " bytes at " +
                             std::to_string(x.certificates->offset) +
                             (x.certificates->offset >= l.ExpectedFileSize() ? "" : ", INSIDE the package"));
}

std::string JsonPayload(const PayloadEntry& e) {
    if (e.offset == 0 || e.offset == kRefuse64BitWindows) return "null";
    return "{\"offset\": " + std::to_string(e.offset) + ", \"packedSize\": " + std::to_string(e.packedSize) +
           ", \"unpackedSize\": " + std::to_string(e.unpackedSize) + "}";
}

std::string JsonMessage(const PackageFile& f, const MessageRef& m) {
    const auto text = MessageText(f, m);
    return "{\"offset\": " + std::to_string(m.offset) + ", \"length\": " + std::to_string(m.length) +
           ", \"text\": " + (text ? Json(*text) : std::string("null")) + "}";
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
    out << "{\"file\": " << Json(f.path) << ", \"fileSize\": " << x.fileSize << ",\n"
        << " \"locator\": {\"packageOffset\": " << l.packageOffset << ", \"checkedLength\": " << l.checkedLength
        << ", \"checkedCrc\": " << Json(Hex32(l.checkedCrc)) << ", \"expectedFileSize\": " << l.ExpectedFileSize()
        << ", \"minimumFileSize\": " << l.minimumFileSize << "},\n"
        << " \"header\": {\"lzma\": {\"propertiesByte\": " << unsigned{h.lzmaProperties[0]} << ", \"lc\": " << x.lc
        << ", \"lp\": " << x.lp << ", \"pb\": " << x.pb << ", \"dictionarySize\": " << x.dictionary << "},\n"
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
        << ", \"computedCrc\": " << (x.crc ? Json(Hex32(*x.crc)) : std::string("null")) << "},\n"
        << " \"bytesAfterPackage\": " << x.afterPackage << ", \"certificateTable\": ";
    if (x.certificates)
        out << "{\"offset\": " << x.certificates->offset << ", \"size\": " << x.certificates->size << "}";
    else
        out << "null";
    out << "}\n";
}

}  // namespace

int RunInspect(const std::vector<std::string>& args, Console& console) {
    std::string path;
    bool json = false;
    ArgCursor cursor(args);
    while (!cursor.Done()) {
        const std::string opt = cursor.Next();
        if (opt == "-h" || opt == "--help") {
            console.out << kInspectHelp;
            return kExitOk;
        }
        if (opt == "--json") {
            cursor.NoValue(opt);
            json = true;
        } else {
            TakeFileArgument(opt, path);
        }
    }
    if (path.empty()) throw UsageError("FILE is required");
    const PackageFile file = LoadPackageFile(path);
    if (!file.hasLocator) throw Failure(path + ": too short for a package locator at bytes 128-151");
    if (file.locator.packageOffset == 0)
        throw Failure(path + ": no package (locator field packageOffset is 0)");
    if (!file.hasHeader)
        throw Failure(path + ": locator field packageOffset " + std::to_string(file.locator.packageOffset) +
                      " points past the end of the file");
    if (json) PrintJson(file, console.out);
    else PrintText(file, console.out);
    return kExitOk;
}
