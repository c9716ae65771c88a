// The package records and the checksum: CRC-32 check values and pieces, and
// the locator and header parsers against bytes written out by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "CRC32/CRC32.h"
#include "StubTypes/StubTypes.h"

namespace {

// The textbook bit-at-a-time CRC-32 (reflected 0xEDB88320, init and final
// XOR all ones): slow, but simple enough to trust as the reference for the
// table-driven code over long and oddly sized inputs.
uint32_t BitwiseCrc32(const uint8_t* data, size_t length) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
        c ^= data[i];
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    }
    return ~c;
}

std::vector<uint8_t> NoisyBytes(size_t size) {
    std::vector<uint8_t> bytes(size);
    uint32_t x = 0x12345678u;
    for (uint8_t& b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return bytes;
}

}  // namespace

TEST(Crc32, CheckValues) {
    EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(Crc32("abc", 3), 0x352441C2u);
    EXPECT_EQ(Crc32("a", 1), 0xE8B7BE43u);
}

TEST(Crc32, LengthZeroOrNegativeGivesZero) {
    const char data[] = "123456789";
    EXPECT_EQ(Crc32(data, 0), 0u);
    EXPECT_EQ(Crc32(data, -1), 0u);
    EXPECT_EQ(Crc32(data, INT32_MIN), 0u);
    EXPECT_EQ(Crc32Update(0, data, 0), 0u);
}

// Every length from 0 to 70 and a few long ones, so that both the eight-byte
// steps and the byte-wise tail are exercised in every combination.
TEST(Crc32, MatchesBitwiseReferenceForAllTailLengths) {
    const std::vector<uint8_t> bytes = NoisyBytes(70000);
    std::vector<size_t> lengths;
    for (size_t n = 1; n <= 70; ++n) lengths.push_back(n);
    for (size_t n : {4095, 4096, 4097, 65543, 70000}) lengths.push_back(n);
    for (size_t n : lengths)
        EXPECT_EQ(Crc32(bytes.data(), static_cast<int32_t>(n)), BitwiseCrc32(bytes.data(), n))
            << "length " << n;
}

// The checked block is summed piece by piece; every way of cutting it must
// give the sum of the whole, including pieces not a multiple of eight and
// pieces starting at unaligned addresses.
TEST(Crc32, PiecesGiveTheSumOfTheWhole) {
    const std::vector<uint8_t> bytes = NoisyBytes(1000);
    const uint32_t whole = Crc32(bytes.data(), static_cast<int32_t>(bytes.size()));
    for (size_t pieceSize : {1, 2, 3, 5, 7, 8, 9, 13, 16, 17, 64, 333, 999, 1000}) {
        uint32_t crc = 0;
        for (size_t at = 0; at < bytes.size(); at += pieceSize) {
            const size_t n = std::min(pieceSize, bytes.size() - at);
            crc = Crc32Update(crc, bytes.data() + at, static_cast<uint32_t>(n));
        }
        EXPECT_EQ(crc, whole) << "pieces of " << pieceSize;
    }
    // One cut at every position, with an empty piece thrown in.
    for (size_t cut = 0; cut <= 40; ++cut) {
        uint32_t crc = Crc32Update(0, bytes.data(), static_cast<uint32_t>(cut));
        crc = Crc32Update(crc, bytes.data() + cut, 0);
        crc = Crc32Update(crc, bytes.data() + cut, static_cast<uint32_t>(40 - cut));
        EXPECT_EQ(crc, Crc32(bytes.data(), 40)) << "cut at " << cut;
    }
}

// ---------------------------------------------------------------------------
// The example package: launcher image of 206336 bytes, both engines, a
// 242-unit unsupported-Windows text ending at dataOffset, a signature of
// 19416 bytes after the package.  The bytes are spelled out field by field.

namespace {

const uint8_t kExampleLocator[kLocatorSize] = {
    0x00, 0x26, 0x03, 0x00,  // packageOffset 206336 (0x32600)
    0xA7, 0xBE, 0x15, 0x00,  // checkedLength 1425063
    0x9A, 0x33, 0x21, 0x8D,  // checkedCrc 0x8D21339A
    0xC8, 0x8F, 0x99, 0x00,  // expectedFileSize low: 10063816
    0x00, 0x00, 0x00, 0x00,  // expectedFileSize high
    0x00, 0x00, 0x00, 0x00,  // minimumFileSize
};

const uint8_t kExampleHeader[kHeaderSize] = {
    0x5D,                    // 0: properties lc 3, lp 0, pb 2
    0x00, 0x00, 0x40, 0x00,  // 1: dictionary 4194304
    0xE0, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80,  // 5: allowedWindows
    0xE3, 0x05,              // 13: win10MinRelease 1507
    0x0F, 0x27,              // 15: win10MaxRelease 9999
    0x3E, 0x08,              // 17: win11MinRelease 2110
    0x0F, 0x27,              // 19: win11MaxRelease 9999
    0x02,                    // 21: elevationMode
    0x4A, 0x26, 0x03, 0x00,  // 22: engine32.offset 206410
    0xF3, 0xC5, 0x07, 0x00,  //     engine32.packedSize 509427
    0xD8, 0xB5, 0x17, 0x00,  //     engine32.unpackedSize 1553880
    0x3D, 0xEC, 0x0A, 0x00,  // 34: engine64.offset 715837
    0x81, 0x37, 0x0C, 0x00,  //     engine64.packedSize 800641
    0xD8, 0xA3, 0x2F, 0x00,  //     engine64.unpackedSize 3122136
    0xB0, 0x27, 0x17, 0x00,  // 46: dataOffset 1517488
    0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xBB,  // 50: builder's
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 62: wrongWidthMessage (0, 0)
    0xCC, 0x25, 0x17, 0x00,  // 68: unsupportedWindowsMessage.offset 1517004
    0xF2, 0x00,              //     length 242
};

}  // namespace

TEST(PackageRecords, ExampleLocatorParses) {
    const PackageLocator l = ParseLocator(kExampleLocator);
    EXPECT_EQ(l.packageOffset, 206336u);
    EXPECT_EQ(l.checkedLength, 1425063u);
    EXPECT_EQ(l.checkedCrc, 0x8D21339Au);
    EXPECT_EQ(l.expectedSizeLow, 10063816u);
    EXPECT_EQ(l.expectedSizeHigh, 0u);
    EXPECT_EQ(l.ExpectedFileSize(), 10063816);
    EXPECT_EQ(l.minimumFileSize, 0u);
    // The checked block ends 113911 bytes into the engine data.
    EXPECT_EQ(l.packageOffset + l.checkedLength, 1631399u);
}

TEST(PackageRecords, ExampleHeaderParses) {
    const PackageHeader h = ParseHeader(kExampleHeader);
    EXPECT_EQ(h.lzmaProperties[0], 0x5D);
    const uint32_t dictionary = h.lzmaProperties[1] | h.lzmaProperties[2] << 8 |
                                h.lzmaProperties[3] << 16 | static_cast<uint32_t>(h.lzmaProperties[4]) << 24;
    EXPECT_EQ(dictionary, 4194304u);
    EXPECT_EQ(h.win10MinRelease, 1507);
    EXPECT_EQ(h.win10MaxRelease, 9999);
    EXPECT_EQ(h.win11MinRelease, 2110);
    EXPECT_EQ(h.win11MaxRelease, 9999);
    EXPECT_EQ(h.elevationMode, 2);
    EXPECT_EQ(h.engine32.offset, 206410u);
    EXPECT_EQ(h.engine32.packedSize, 509427u);
    EXPECT_EQ(h.engine32.unpackedSize, 1553880u);
    EXPECT_EQ(h.engine64.offset, 715837u);
    EXPECT_EQ(h.engine64.packedSize, 800641u);
    EXPECT_EQ(h.engine64.unpackedSize, 3122136u);
    EXPECT_EQ(h.dataOffset, 1517488u);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(h.builderBytes[i], 0xB0 + i) << "builder byte " << i;
    EXPECT_EQ(h.wrongWidthMessage.offset, 0u);
    EXPECT_EQ(h.wrongWidthMessage.length, 0u);
    EXPECT_EQ(h.unsupportedWindowsMessage.offset, 1517004u);
    EXPECT_EQ(h.unsupportedWindowsMessage.length, 242u);

    // The layout the example describes: engines back to back after the
    // header, the text ending exactly where the engine data begins.
    EXPECT_EQ(h.engine32.offset, 206336u + kHeaderSize);
    EXPECT_EQ(h.engine64.offset, h.engine32.offset + h.engine32.packedSize);
    EXPECT_EQ(h.unsupportedWindowsMessage.offset + 2u * h.unsupportedWindowsMessage.length, h.dataOffset);
}

// E0 0F 00 00 00 00 00 80: XP, Vista, 7, 8, 8.1, 10, 11 and "later" - and
// nothing else among the 64 elements.
TEST(PackageRecords, ExampleAllowedWindows) {
    const PackageHeader h = ParseHeader(kExampleHeader);
    for (unsigned n = 0; n < 64; ++n) {
        const bool expected = (n >= kWinXp && n <= kWin11) || n == kWinLater;
        EXPECT_EQ(h.allowedWindows.Contains(n), expected) << "element " << n;
    }
    EXPECT_FALSE(h.allowedWindows.Contains(64));
    EXPECT_FALSE(h.allowedWindows.Contains(1000));
}

// Element n is bit (n mod 8) of byte (n div 8): one set bit at a time names
// exactly one element.
TEST(PackageRecords, AllowedWindowsBitOrder) {
    for (unsigned set = 0; set < 64; ++set) {
        uint8_t bytes[kHeaderSize] = {};
        bytes[5 + set / 8] = static_cast<uint8_t>(1u << (set % 8));
        const PackageHeader h = ParseHeader(bytes);
        for (unsigned n = 0; n < 64; ++n)
            EXPECT_EQ(h.allowedWindows.Contains(n), n == set) << "bit " << set << ", element " << n;
    }
}

// High bits in every byte: no sign extension, no field bleeding into the next.
TEST(PackageRecords, AllOnesHeaderAndLocator) {
    uint8_t headerBytes[kHeaderSize];
    std::memset(headerBytes, 0xFF, sizeof headerBytes);
    const PackageHeader h = ParseHeader(headerBytes);
    EXPECT_EQ(h.win10MinRelease, 0xFFFF);
    EXPECT_EQ(h.elevationMode, 0xFF);
    EXPECT_EQ(h.engine64.offset, kRefuse64BitWindows);
    EXPECT_EQ(h.engine32.unpackedSize, 0xFFFFFFFFu);
    EXPECT_EQ(h.unsupportedWindowsMessage.length, 0xFFFF);
    EXPECT_EQ(h.unsupportedWindowsMessage.offset, 0xFFFFFFFFu);

    uint8_t locatorBytes[kLocatorSize];
    std::memset(locatorBytes, 0xFF, sizeof locatorBytes);
    const PackageLocator l = ParseLocator(locatorBytes);
    EXPECT_EQ(l.minimumFileSize, 0xFFFFFFFFu);
    EXPECT_EQ(l.ExpectedFileSize(), -1);
}

// Serializing what was parsed gives back every byte, for the example and for
// bytes where each position holds a different value (so a swapped or dropped
// field cannot go unnoticed).
TEST(PackageRecords, RoundTrip) {
    uint8_t distinctHeader[kHeaderSize];
    for (uint32_t i = 0; i < kHeaderSize; ++i) distinctHeader[i] = static_cast<uint8_t>(0x80 + i * 3);
    uint8_t distinctLocator[kLocatorSize];
    for (uint32_t i = 0; i < kLocatorSize; ++i) distinctLocator[i] = static_cast<uint8_t>(0xF0 - i * 5);

    for (const uint8_t* source : {kExampleHeader, static_cast<const uint8_t*>(distinctHeader)}) {
        uint8_t in[kHeaderSize], out[kHeaderSize];
        std::memcpy(in, source, kHeaderSize);
        std::memset(out, 0x5A, kHeaderSize);
        SerializeHeader(ParseHeader(in), out);
        EXPECT_EQ(std::memcmp(in, out, kHeaderSize), 0);
    }
    for (const uint8_t* source : {kExampleLocator, static_cast<const uint8_t*>(distinctLocator)}) {
        uint8_t in[kLocatorSize], out[kLocatorSize];
        std::memcpy(in, source, kLocatorSize);
        std::memset(out, 0x5A, kLocatorSize);
        SerializeLocator(ParseLocator(in), out);
        EXPECT_EQ(std::memcmp(in, out, kLocatorSize), 0);
    }
}

// From record to bytes: the example's values land at their offsets.
TEST(PackageRecords, SerializeExampleValues) {
    PackageLocator l{};
    l.packageOffset = 206336;
    l.checkedLength = 1425063;
    l.checkedCrc = 0x8D21339A;
    l.expectedSizeLow = 10063816;
    uint8_t bytes[kLocatorSize];
    SerializeLocator(l, bytes);
    EXPECT_EQ(std::memcmp(bytes, kExampleLocator, kLocatorSize), 0);

    PackageHeader h{};
    const uint8_t properties[5] = {0x5D, 0x00, 0x00, 0x40, 0x00};
    std::memcpy(h.lzmaProperties, properties, 5);
    const uint8_t allowed[8] = {0xE0, 0x0F, 0, 0, 0, 0, 0, 0x80};
    std::memcpy(h.allowedWindows.bytes, allowed, 8);
    h.win10MinRelease = 1507;
    h.win10MaxRelease = 9999;
    h.win11MinRelease = 2110;
    h.win11MaxRelease = 9999;
    h.elevationMode = 2;
    h.engine32 = {206410, 509427, 1553880};
    h.engine64 = {715837, 800641, 3122136};
    h.dataOffset = 1517488;
    for (int i = 0; i < 12; ++i) h.builderBytes[i] = static_cast<uint8_t>(0xB0 + i);
    h.wrongWidthMessage = {0, 0};
    h.unsupportedWindowsMessage = {1517004, 242};
    uint8_t headerBytes[kHeaderSize];
    SerializeHeader(h, headerBytes);
    EXPECT_EQ(std::memcmp(headerBytes, kExampleHeader, kHeaderSize), 0);
}
