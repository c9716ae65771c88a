// The records of the package format.  A package is the launcher's own image
// followed by a header, the packed engines, message texts and engine data; a
// 24-byte locator in the DOS-stub gap (offset 128) finds it.  All integers are
// little-endian and unaligned; all offsets are absolute offsets in the file.
#pragma once
#include <stdint.h>

// Where the pieces sit.  The locator lives in bytes that are otherwise zero
// because the launcher image puts its PE header at 256, not at 128.
constexpr uint32_t kLocatorOffset = 128;
constexpr uint32_t kLocatorSize = 24;
constexpr uint32_t kHeaderSize = 74;
constexpr uint32_t kPeHeaderOffset = 256;

// engine64.offset with this value: no 64-bit engine, and 64-bit Windows is refused.
constexpr uint32_t kRefuse64BitWindows = 0xFFFFFFFFu;

struct PayloadEntry {
    uint32_t offset;        // file offset of the raw LZMA stream; 0 = none
    uint32_t packedSize;    // taken as a signed 32-bit count
    uint32_t unpackedSize;  // taken as a signed 32-bit count, must match exactly
};

struct MessageRef {
    uint32_t offset;  // file offset of a UTF-16LE text without BOM or NUL
    uint16_t length;  // in UTF-16 code units
};

// Element n is bit (n mod 8) of byte (n div 8).  A set bit means "allowed".
struct AllowedWindowsSet {
    uint8_t bytes[8];
    bool Contains(unsigned element) const {
        return element < 64 && (bytes[element / 8] >> (element % 8)) & 1;
    }
};

// The Windows versions the set names.  Elements 12 to 62 are unused.
enum WindowsElement : unsigned {
    kWin95 = 0, kWin98 = 1, kWinMe = 2, kWinNt4 = 3, kWin2000 = 4, kWinXp = 5,
    kWinVista = 6, kWin7 = 7, kWin8 = 8, kWin81 = 9, kWin10 = 10, kWin11 = 11,
    kWinLater = 63,
};

struct PackageLocator {
    uint32_t packageOffset;     // 0 = no package
    uint32_t checkedLength;     // bytes covered by checkedCrc, from packageOffset
    uint32_t checkedCrc;
    uint32_t expectedSizeLow;   // expected file size, low and high halves;
    uint32_t expectedSizeHigh;  // the whole is compared as a signed 64-bit value
    uint32_t minimumFileSize;   // nonzero: size rule on this, and no wait/delete

    int64_t ExpectedFileSize() const {
        return static_cast<int64_t>((static_cast<uint64_t>(expectedSizeHigh) << 32) |
                                    expectedSizeLow);
    }
};

struct PackageHeader {
    uint8_t lzmaProperties[5];  // properties byte and dictionary size (u32)
    AllowedWindowsSet allowedWindows;
    uint16_t win10MinRelease;
    uint16_t win10MaxRelease;   // 9999 or more: no upper limit
    uint16_t win11MinRelease;
    uint16_t win11MaxRelease;   // 9999 or more: no upper limit
    uint8_t elevationMode;      // 1 = runas when silent, 2 = /noadmin when silent
    PayloadEntry engine32;
    PayloadEntry engine64;
    uint32_t dataOffset;        // start of the engine's data; not read by the launcher
    uint8_t builderBytes[12];   // the builder's; the launcher ignores them
    MessageRef wrongWidthMessage;
    MessageRef unsupportedWindowsMessage;
};

// Parsers never fail: every field value is checked where it is used.
PackageLocator ParseLocator(const uint8_t (&bytes)[kLocatorSize]);
PackageHeader ParseHeader(const uint8_t (&bytes)[kHeaderSize]);

// The size rule: true when a file of fileSize bytes is shorter than the
// locator requires (a truncated download).  With minimumFileSize set, only
// the low 32 bits of the size count; otherwise expectedFileSize is compared
// as a signed 64-bit value.  A longer file passes: a signature may follow.
bool IsTruncated(const PackageLocator& locator, uint64_t fileSize);

// The checksum rule: the CRC-32 of the checked block is taken over a signed
// 32-bit length, so a block of 2 GiB or more sums to 0 whatever it holds.
// True when a block of checkedLength bytes is summed for real.
inline bool ChecksumCoversLength(uint32_t checkedLength) { return checkedLength < 0x80000000u; }

// The inverse, for the package builder.
void SerializeLocator(const PackageLocator& locator, uint8_t (&bytes)[kLocatorSize]);
void SerializeHeader(const PackageHeader& header, uint8_t (&bytes)[kHeaderSize]);
