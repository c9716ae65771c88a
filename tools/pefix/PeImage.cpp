#include "PeImage.h"

#include <algorithm>
#include <cstring>

namespace {

uint16_t U16(const std::vector<uint8_t>& b, size_t at) {
    return at + 2 <= b.size() ? static_cast<uint16_t>(b[at] | b[at + 1] << 8) : 0;
}
uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
    return at + 4 <= b.size() ? static_cast<uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16 |
                                                      static_cast<uint32_t>(b[at + 3]) << 24)
                              : 0;
}

// File offset of an RVA, or 0 when no section holds it.
uint32_t RvaToOffset(const PeInfo& info, uint32_t rva) {
    for (const PeSection& s : info.sections) {
        const uint32_t span = s.virtualSize > s.rawSize ? s.virtualSize : s.rawSize;
        if (rva >= s.virtualAddress && rva < s.virtualAddress + span) {
            const uint32_t delta = rva - s.virtualAddress;
            return delta < s.rawSize ? s.rawOffset + delta : 0;
        }
    }
    return 0;
}

std::string CString(const std::vector<uint8_t>& b, uint32_t at) {
    std::string s;
    while (at < b.size() && b[at] && s.size() < 256) s += static_cast<char>(b[at++]);
    return s;
}

void ReadImports(const std::vector<uint8_t>& b, PeInfo& info, uint32_t rva) {
    uint32_t at = RvaToOffset(info, rva);
    for (int i = 0; at && i < 256 && at + 20 <= b.size(); ++i, at += 20) {
        const uint32_t nameRva = U32(b, at + 12);
        if (nameRva == 0) break;
        const uint32_t nameAt = RvaToOffset(info, nameRva);
        if (nameAt) info.importedLibraries.push_back(CString(b, nameAt));
    }
}

// Finds entry id in the resource directory at dirAt (relative to base);
// returns its OffsetToData or 0xFFFFFFFF.
uint32_t FindResourceEntry(const std::vector<uint8_t>& b, uint32_t base, uint32_t dirAt, int id) {
    const uint32_t at = base + dirAt;
    const uint32_t count = U16(b, at + 12) + U16(b, at + 14);
    for (uint32_t i = 0; i < count && i < 1024; ++i) {
        const uint32_t e = at + 16 + 8 * i;
        const uint32_t name = U32(b, e);
        if (id < 0 || (!(name & 0x80000000u) && name == static_cast<uint32_t>(id))) return U32(b, e + 4);
    }
    return 0xFFFFFFFFu;
}

void ReadManifest(const std::vector<uint8_t>& b, PeInfo& info, uint32_t rva) {
    const uint32_t base = RvaToOffset(info, rva);
    if (!base) return;
    uint32_t entry = FindResourceEntry(b, base, 0, 24);  // RT_MANIFEST
    if (entry == 0xFFFFFFFFu || !(entry & 0x80000000u)) return;
    entry = FindResourceEntry(b, base, entry & 0x7FFFFFFFu, 1);
    if (entry == 0xFFFFFFFFu || !(entry & 0x80000000u)) return;
    entry = FindResourceEntry(b, base, entry & 0x7FFFFFFFu, -1);  // any language
    if (entry == 0xFFFFFFFFu || (entry & 0x80000000u)) return;
    const uint32_t dataRva = U32(b, base + entry), size = U32(b, base + entry + 4);
    const uint32_t dataAt = RvaToOffset(info, dataRva);
    if (dataAt && static_cast<uint64_t>(dataAt) + size <= b.size())
        info.manifest.assign(reinterpret_cast<const char*>(b.data() + dataAt), size);
}

}  // namespace

bool ParsePeHeaders(const uint8_t* data, uint64_t size, PeInfo& info, std::string& error) {
    const size_t head = static_cast<size_t>(std::min<uint64_t>(size, 64 * 1024));
    return ParsePe(std::vector<uint8_t>(data, data + head), info, error);
}

bool ParsePe(const std::vector<uint8_t>& b, PeInfo& info, std::string& error) {
    info = PeInfo{};
    if (b.size() < 64 || b[0] != 'M' || b[1] != 'Z') {
        error = "not a PE image (no MZ signature)";
        return false;
    }
    info.peOffset = U32(b, 0x3C);
    const uint32_t pe = info.peOffset;
    if (pe < 64 || static_cast<uint64_t>(pe) + 24 > b.size() || std::memcmp(b.data() + pe, "PE\0\0", 4) != 0) {
        error = "not a PE image (no PE signature at e_lfanew)";
        return false;
    }
    info.machine = U16(b, pe + 4);
    const uint16_t sectionCount = U16(b, pe + 6);
    const uint16_t optionalSize = U16(b, pe + 20);
    info.characteristics = U16(b, pe + 22);
    const uint32_t opt = pe + 24;
    const uint16_t magic = U16(b, opt);
    if (magic != 0x10b && magic != 0x20b) {
        error = "not a PE image (unknown optional header magic)";
        return false;
    }
    info.pe32Plus = magic == 0x20b;
    info.optionalHeaderOffset = opt;
    info.symbolTableOffset = U32(b, pe + 12);
    info.entryPoint = U32(b, opt + 16);
    info.imageBase = info.pe32Plus ? U32(b, opt + 24) | static_cast<uint64_t>(U32(b, opt + 28)) << 32 : U32(b, opt + 28);
    info.sectionAlignment = U32(b, opt + 32);
    info.fileAlignment = U32(b, opt + 36);
    info.sizeOfImage = U32(b, opt + 56);
    info.checkSum = U32(b, opt + 64);
    info.sizeOfHeaders = U32(b, opt + 60);
    info.subsystem = U16(b, opt + 68);
    info.dllCharacteristics = U16(b, opt + 70);
    const uint32_t sectionsAt = opt + optionalSize;
    info.sectionTableOffset = sectionsAt;
    info.headerBlockSize = 24 + optionalSize + 40u * sectionCount;
    if (sectionsAt + 40u * sectionCount > b.size()) {
        error = "PE section table runs past the end of the file";
        return false;
    }
    for (uint16_t i = 0; i < sectionCount; ++i) {
        const uint32_t s = sectionsAt + 40u * i;
        PeSection section;
        section.name.assign(reinterpret_cast<const char*>(b.data() + s), strnlen(reinterpret_cast<const char*>(b.data() + s), 8));
        section.virtualSize = U32(b, s + 8);
        section.virtualAddress = U32(b, s + 12);
        section.rawSize = U32(b, s + 16);
        section.rawOffset = U32(b, s + 20);
        section.characteristics = U32(b, s + 36);
        if (section.rawSize && section.rawOffset + section.rawSize > info.imageEnd)
            info.imageEnd = section.rawOffset + section.rawSize;
        info.sections.push_back(section);
    }
    const uint32_t directories = opt + (info.pe32Plus ? 112 : 96);
    const uint32_t directoryCount = U32(b, opt + (info.pe32Plus ? 108 : 92));
    const uint32_t directoriesInHeader = optionalSize > directories - opt ? (optionalSize - (directories - opt)) / 8 : 0;
    for (uint32_t i = 0; i < directoryCount && i < directoriesInHeader && i < 16; ++i)
        info.directories.push_back({U32(b, directories + 8 * i), U32(b, directories + 8 * i + 4)});
    if (directoryCount > 1) ReadImports(b, info, U32(b, directories + 8));
    if (directoryCount > 2) ReadManifest(b, info, U32(b, directories + 16));
    return true;
}

bool MovePeHeader(std::vector<uint8_t>& b, uint32_t newOffset, std::string& error) {
    PeInfo info;
    if (!ParsePe(b, info, error)) return false;
    const uint32_t old = info.peOffset, size = info.headerBlockSize;
    if (old == newOffset) return true;
    uint32_t firstRaw = info.sizeOfHeaders;
    for (const PeSection& s : info.sections)
        if (s.rawSize && s.rawOffset < firstRaw) firstRaw = s.rawOffset;
    if (newOffset < 64 || newOffset + size > info.sizeOfHeaders || newOffset + size > firstRaw) {
        error = "the PE headers (" + std::to_string(size) + " bytes) do not fit between offset " +
                std::to_string(newOffset) + " and the end of the header area (" +
                std::to_string(firstRaw < info.sizeOfHeaders ? firstRaw : info.sizeOfHeaders) + ")";
        return false;
    }
    // Everything the moved block will cover, outside its old place, must be
    // padding: refuse rather than overwrite anything.
    for (uint32_t i = newOffset; i < newOffset + size; ++i) {
        if (i >= old && i < old + size) continue;
        if (b[i] != 0) {
            error = "the bytes where the PE header would go are not free";
            return false;
        }
    }
    std::vector<uint8_t> block(b.begin() + old, b.begin() + old + size);
    std::memset(b.data() + old, 0, size);
    std::memcpy(b.data() + newOffset, block.data(), size);
    for (int i = 0; i < 4; ++i) b[0x3C + i] = static_cast<uint8_t>(newOffset >> (8 * i));
    return true;
}

void PeChecksum::Add(const uint8_t* data, size_t size) {
    size_t i = 0;
    // A byte at an odd offset in the file is the high half of its word.
    if ((length_ & 1) && size > 0) sum_ += static_cast<uint64_t>(data[i++]) << 8;
    for (; i + 1 < size; i += 2) sum_ += data[i] | static_cast<uint32_t>(data[i + 1]) << 8;
    if (i < size) sum_ += data[i];
    // The field's own bytes count as zero.
    const uint64_t from = field_ > length_ ? field_ : length_;
    const uint64_t to = field_ + 4 < length_ + size ? field_ + 4 : length_ + size;
    for (uint64_t p = from; p < to; ++p) sum_ -= static_cast<uint64_t>(data[p - length_]) << (8 * (p & 1));
    length_ += size;
}

uint32_t PeChecksum::Finish() const {
    uint64_t sum = sum_;
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + length_);
}

uint64_t PeChecksumFieldOffset(const uint8_t* image, size_t size) {
    if (size < 64 || image[0] != 'M' || image[1] != 'Z') return 0;
    const uint64_t pe = static_cast<uint32_t>(image[0x3C] | image[0x3D] << 8 | image[0x3E] << 16 |
                                              static_cast<uint32_t>(image[0x3F]) << 24);
    // Signature (4), file header (20); the field is 64 bytes into either
    // optional header.
    const uint64_t field = pe + 24 + 64;
    if (field + 4 > size || std::memcmp(image + pe, "PE\0\0", 4) != 0) return 0;
    const uint16_t magic = static_cast<uint16_t>(image[pe + 24] | image[pe + 25] << 8);
    if (magic != 0x10b && magic != 0x20b) return 0;
    return field;
}

bool StorePeChecksum(std::vector<uint8_t>& image) {
    const uint64_t field = PeChecksumFieldOffset(image.data(), image.size());
    if (field == 0) return false;
    PeChecksum sum(field);
    sum.Add(image.data(), image.size());
    const uint32_t value = sum.Finish();
    for (int i = 0; i < 4; ++i) image[field + i] = static_cast<uint8_t>(value >> (8 * i));
    return true;
}
