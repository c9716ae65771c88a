#include "ResourceSection.h"

#include <set>
#include <tuple>

#include "PeBytes.h"
#include "ResourceTree.h"

using namespace pe_bytes;

namespace {

const char* const kDirectoryNames[16] = {"export table", "import table", "resource table", "exception table",
                                         "certificate table", "base relocation table", "debug directory",
                                         "architecture data", "global pointer", "TLS table", "load configuration",
                                         "bound import table", "import address table", "delay import table",
                                         "CLR header", "reserved directory"};
constexpr size_t kCertificateDirectory = 4, kRelocationDirectory = 5, kDebugDirectory = 6;
constexpr uint32_t kInitializedData = 0x40;

uint64_t Extent(const PeSection& s) { return std::max(s.virtualSize, s.rawSize); }

bool Overlaps(uint64_t a, uint64_t aEnd, uint64_t b, uint64_t bEnd) { return a < bEnd && b < aEnd; }

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

Bytes UpdateOrRefuse(const Bytes& image, const ResourceUpdate& update) {
    const Layout layout = CheckLayout(image);
    const PeInfo& info = layout.info;
    ResourceTree tree = ReadTreeOf(ImageView(image, info), info);

    std::set<std::tuple<ResourceId, ResourceId, uint16_t>> given;
    for (const RawResource& r : update.resources) {
        if (!given.emplace(r.type, r.name, r.language).second)
            Refuse("resource " + r.type.Describe(true) + " " + r.name.Describe() + " language " + Num(r.language) +
                   " is given twice");
        tree.entries[r.type].entries[r.name].entries[ResourceId::Number(r.language)] = ResourceLeaf{r.data, r.codePage};
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

}  // namespace

bool UpdateResources(Bytes& image, const ResourceUpdate& update, std::string& error) {
    return Guarded(error, [&] { image = UpdateOrRefuse(image, update); });
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

