#include "StubTypes.h"

namespace {

uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t GetU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void PutU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void PutU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

PayloadEntry GetEntry(const uint8_t* p) { return {GetU32(p), GetU32(p + 4), GetU32(p + 8)}; }
void PutEntry(uint8_t* p, const PayloadEntry& e) {
    PutU32(p, e.offset);
    PutU32(p + 4, e.packedSize);
    PutU32(p + 8, e.unpackedSize);
}
MessageRef GetMessageRef(const uint8_t* p) { return {GetU32(p), GetU16(p + 4)}; }
void PutMessageRef(uint8_t* p, const MessageRef& m) {
    PutU32(p, m.offset);
    PutU16(p + 4, m.length);
}

}  // namespace

PackageLocator ParseLocator(const uint8_t (&b)[kLocatorSize]) {
    PackageLocator l;
    l.packageOffset = GetU32(b + 0);
    l.checkedLength = GetU32(b + 4);
    l.checkedCrc = GetU32(b + 8);
    l.expectedSizeLow = GetU32(b + 12);
    l.expectedSizeHigh = GetU32(b + 16);
    l.minimumFileSize = GetU32(b + 20);
    return l;
}

void SerializeLocator(const PackageLocator& l, uint8_t (&b)[kLocatorSize]) {
    PutU32(b + 0, l.packageOffset);
    PutU32(b + 4, l.checkedLength);
    PutU32(b + 8, l.checkedCrc);
    PutU32(b + 12, l.expectedSizeLow);
    PutU32(b + 16, l.expectedSizeHigh);
    PutU32(b + 20, l.minimumFileSize);
}

PackageHeader ParseHeader(const uint8_t (&b)[kHeaderSize]) {
    PackageHeader h;
    for (int i = 0; i < 5; ++i) h.lzmaProperties[i] = b[i];
    for (int i = 0; i < 8; ++i) h.allowedWindows.bytes[i] = b[5 + i];
    h.win10MinRelease = GetU16(b + 13);
    h.win10MaxRelease = GetU16(b + 15);
    h.win11MinRelease = GetU16(b + 17);
    h.win11MaxRelease = GetU16(b + 19);
    h.elevationMode = b[21];
    h.engine32 = GetEntry(b + 22);
    h.engine64 = GetEntry(b + 34);
    h.dataOffset = GetU32(b + 46);
    for (int i = 0; i < 12; ++i) h.builderBytes[i] = b[50 + i];
    h.wrongWidthMessage = GetMessageRef(b + 62);
    h.unsupportedWindowsMessage = GetMessageRef(b + 68);
    return h;
}

void SerializeHeader(const PackageHeader& h, uint8_t (&b)[kHeaderSize]) {
    for (int i = 0; i < 5; ++i) b[i] = h.lzmaProperties[i];
    for (int i = 0; i < 8; ++i) b[5 + i] = h.allowedWindows.bytes[i];
    PutU16(b + 13, h.win10MinRelease);
    PutU16(b + 15, h.win10MaxRelease);
    PutU16(b + 17, h.win11MinRelease);
    PutU16(b + 19, h.win11MaxRelease);
    b[21] = h.elevationMode;
    PutEntry(b + 22, h.engine32);
    PutEntry(b + 34, h.engine64);
    PutU32(b + 46, h.dataOffset);
    for (int i = 0; i < 12; ++i) b[50 + i] = h.builderBytes[i];
    PutMessageRef(b + 62, h.wrongWidthMessage);
    PutMessageRef(b + 68, h.unsupportedWindowsMessage);
}

bool IsTruncated(const PackageLocator& locator, uint64_t fileSize) {
    const uint32_t sizeLow = static_cast<uint32_t>(fileSize);
    if (locator.minimumFileSize != 0) return locator.minimumFileSize > sizeLow;
    // High halves compared signed, then low halves unsigned.
    const int32_t expectedHigh = static_cast<int32_t>(locator.expectedSizeHigh);
    const int32_t sizeHigh = static_cast<int32_t>(static_cast<uint32_t>(fileSize >> 32));
    if (expectedHigh != sizeHigh) return expectedHigh > sizeHigh;
    return locator.expectedSizeLow > sizeLow;
}
