// Reading and adjusting the headers of a PE image, for the post-link step
// that moves the launcher's PE header to offset 256, for the package builder
// that checks stubs, and for the artefact tests.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct PeSection {
    std::string name;
    uint32_t virtualAddress = 0, virtualSize = 0, rawOffset = 0, rawSize = 0;
    uint32_t characteristics = 0;
};

struct PeDirectory {
    uint32_t rva = 0, size = 0;     // for the certificate table (4) a file offset, not an RVA
};

struct PeInfo {
    uint32_t peOffset = 0;          // e_lfanew
    uint16_t machine = 0;           // 0x14c i386, 0x8664 x86-64
    bool pe32Plus = false;
    uint16_t subsystem = 0;         // 2 = GUI
    uint16_t dllCharacteristics = 0;  // 0x40 ASLR, 0x100 DEP, 0x20 high-entropy ASLR
    uint16_t characteristics = 0;
    uint32_t sizeOfHeaders = 0;
    uint32_t headerBlockSize = 0;   // signature + file header + optional header + section table
    uint32_t imageEnd = 0;          // end of the last section's raw data
    std::vector<PeSection> sections;
    // Where the headers sit and the layout fields, for tools that rewrite
    // sections (the package builder's resource step).
    uint32_t optionalHeaderOffset = 0;
    uint32_t sectionTableOffset = 0;
    uint32_t symbolTableOffset = 0;  // PointerToSymbolTable: COFF symbols follow the sections
    uint64_t imageBase = 0;
    uint32_t entryPoint = 0;        // AddressOfEntryPoint
    uint32_t sectionAlignment = 0, fileAlignment = 0, sizeOfImage = 0, checkSum = 0;
    std::vector<PeDirectory> directories;  // as many as the header declares and holds, at most 16
    std::vector<std::string> importedLibraries;  // as named in the import table
    std::string manifest;           // RT_MANIFEST resource 1, empty when absent
};

// Parses the headers; returns false with a reason when the bytes are no PE image.
bool ParsePe(const std::vector<uint8_t>& image, PeInfo& info, std::string& error);
// The same on the first 64 KiB of a file that may be gigabytes long: the
// headers and section table are there; imports and manifest lying further
// on are then missing.
bool ParsePeHeaders(const uint8_t* data, uint64_t size, PeInfo& info, std::string& error);

// The PE image checksum (as CheckSumMappedFile computes it) of a file that
// is fed in pieces, in order: the file taken as 16-bit little-endian words
// (an odd last byte as a word of its own), summed with end-around carry,
// the CheckSum field counted as zero, plus the file's length.
class PeChecksum {
public:
    // checksumFieldOffset: where the field lies in the file.
    explicit PeChecksum(uint64_t checksumFieldOffset) : field_(checksumFieldOffset) {}
    void Add(const uint8_t* data, size_t size);
    uint32_t Finish() const;

private:
    uint64_t field_;
    uint64_t length_ = 0;
    uint64_t sum_ = 0;  // unfolded: folds to the same value at the end
};

// Where the CheckSum field of a PE image lies (the same place in PE32 and
// PE32+); 0 when the bytes are no PE image.
uint64_t PeChecksumFieldOffset(const uint8_t* image, size_t size);

// Stores the checksum of the whole image in its CheckSum field; false when
// it is no PE image.
bool StorePeChecksum(std::vector<uint8_t>& image);

// Moves the PE header block to newOffset and clears the bytes it left.
// Refuses (false, reason) rather than corrupt an image whose headers would
// not fit below SizeOfHeaders or whose gap holds anything but zeros.
bool MovePeHeader(std::vector<uint8_t>& image, uint32_t newOffset, std::string& error);
