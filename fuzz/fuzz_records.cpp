// The package records and the checksum on arbitrary bytes: the locator and
// header parsers must take any 24 or 74 bytes and give them back unchanged
// when serialised; the size rule must be the signed 64-bit comparison it
// stands for; the CRC-32 must agree with the byte-wise reference in one
// piece and in two.
#include <cstring>

#include "CRC32/CRC32.h"
#include "FuzzCheck.h"
#include "StubCore/PackageFile.h"
#include "StubTypes/StubTypes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size >= kLocatorSize) {
        uint8_t bytes[kLocatorSize];
        std::memcpy(bytes, data, kLocatorSize);
        const PackageLocator locator = ParseLocator(bytes);
        uint8_t again[kLocatorSize];
        SerializeLocator(locator, again);
        FUZZ_CHECK(std::memcmp(bytes, again, kLocatorSize) == 0);
        FUZZ_CHECK(locator.packageOffset == LoadU32(data));
        FUZZ_CHECK(locator.minimumFileSize == LoadU32(data + 20));
        FUZZ_CHECK(static_cast<uint64_t>(locator.ExpectedFileSize()) ==
                   (static_cast<uint64_t>(LoadU32(data + 16)) << 32 | LoadU32(data + 12)));

        // The size rule against a file size taken from the input as well (or
        // the input's own length when there is no room for one).
        uint64_t fileSize = size;
        if (size >= kLocatorSize + 8)
            fileSize = static_cast<uint64_t>(LoadU32(data + kLocatorSize + 4)) << 32 |
                       LoadU32(data + kLocatorSize);
        const bool truncated = IsTruncated(locator, fileSize);
        if (locator.minimumFileSize != 0)
            FUZZ_CHECK(truncated == (locator.minimumFileSize > static_cast<uint32_t>(fileSize)));
        else
            FUZZ_CHECK(truncated ==
                       (locator.ExpectedFileSize() > static_cast<int64_t>(fileSize)));
    }

    if (size >= kLocatorSize + kHeaderSize) {
        uint8_t bytes[kHeaderSize];
        std::memcpy(bytes, data + kLocatorSize, kHeaderSize);
        const PackageHeader header = ParseHeader(bytes);
        uint8_t again[kHeaderSize];
        SerializeHeader(header, again);
        FUZZ_CHECK(std::memcmp(bytes, again, kHeaderSize) == 0);
        FUZZ_CHECK(header.engine64.offset == LoadU32(bytes + 34));
        FUZZ_CHECK(header.unsupportedWindowsMessage.offset == LoadU32(bytes + 68));
        for (unsigned element = 0; element < 80; ++element) {
            const bool expected = element < 64 && ((bytes[5 + element / 8] >> (element % 8)) & 1);
            FUZZ_CHECK(header.allowedWindows.Contains(element) == expected);
        }
    }

    const int32_t length = size > INT32_MAX ? INT32_MAX : static_cast<int32_t>(size);
    const uint32_t whole = Crc32(data, length);
    FUZZ_CHECK(whole == (length > 0 ? ReferenceCrc32(data, size) : 0u));
    if (size > 0) {
        const uint32_t split = static_cast<uint32_t>(data[0]) % static_cast<uint32_t>(size + 1);
        const uint32_t pieces =
            Crc32Update(Crc32Update(0, data, split), data + split, static_cast<uint32_t>(size) - split);
        FUZZ_CHECK(pieces == whole);
    }
    FUZZ_CHECK(Crc32(data, 0) == 0 && Crc32(data, -1) == 0);
    return 0;
}
