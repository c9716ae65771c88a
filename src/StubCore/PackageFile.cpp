#include "PackageFile.h"

#include "../CRC32/CRC32.h"
#include "../NoRTLStream/StubMemory.h"
#include "Fatal.h"
#include "FileTransfer.h"

namespace {

void ReadLocator(Platform& platform, Handle file, PackageLocator& locator) {
    uint8_t bytes[kLocatorSize];
    platform.SeekTo(file, kLocatorOffset);
    if (platform.ReadFrom(file, bytes, kLocatorSize) != kLocatorSize) FailDamagedPackage(platform);
    locator = ParseLocator(bytes);
    if (locator.packageOffset == 0) FailDamagedPackage(platform);
}

void CheckBlock(Platform& platform, Handle file, uint64_t fileSize, const PackageLocator& locator) {
    const uint32_t length = locator.checkedLength;
    if (length == 0) {
        // Nothing to read; the sum of nothing is 0.
        if (locator.checkedCrc != 0) FailDamagedPackage(platform);
        return;
    }
    // A block that reaches past the end of the file cannot be read whole:
    // that is the short read it would be, found before allocating for it.
    if (static_cast<uint64_t>(locator.packageOffset) + length > fileSize) FailDamagedPackage(platform);

    // Read and summed in pieces, so verifying a large package does not hold
    // all of it in memory at once.
    const uint32_t pieceSize = length < kFilePiece ? length : kFilePiece;
    uint8_t* piece = static_cast<uint8_t*>(MemAlloc(static_cast<int32_t>(pieceSize)));
    platform.SeekTo(file, locator.packageOffset);
    uint32_t crc = 0;
    for (uint32_t done = 0; done < length;) {
        const uint32_t want = length - done < pieceSize ? length - done : pieceSize;
        if (platform.ReadFrom(file, piece, want) != want) FailDamagedPackage(platform);
        crc = Crc32Update(crc, piece, want);
        done += want;
    }
    MemFree(piece);
    if (!ChecksumCoversLength(length)) crc = 0;
    if (crc != locator.checkedCrc) FailDamagedPackage(platform);
}

void ReadHeader(Platform& platform, Handle file, const PackageLocator& locator, PackageHeader& header) {
    uint8_t bytes[kHeaderSize];
    platform.SeekTo(file, locator.packageOffset);
    if (platform.ReadFrom(file, bytes, kHeaderSize) != kHeaderSize) FailDamagedPackage(platform);
    header = ParseHeader(bytes);
}

}  // namespace

void OpenAndVerifyPackage(Platform& platform, const StubString& launcherPath, OpenPackage& package) {
    package.file = platform.OpenForReading(launcherPath.Text());
    if (package.file == InvalidHandle()) FailDamagedPackage(platform);
    ReadLocator(platform, package.file, package.locator);
    package.fileSize = platform.FileSize(package.file);
    if (IsTruncated(package.locator, package.fileSize)) FailTruncatedPackage(platform);
    CheckBlock(platform, package.file, package.fileSize, package.locator);
    ReadHeader(platform, package.file, package.locator, package.header);
}
