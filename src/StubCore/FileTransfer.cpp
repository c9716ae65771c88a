#include "FileTransfer.h"

namespace {

// One loop for both directions: the launcher's size counts every byte.
uint32_t InPieces(Platform& platform, Handle file, uint8_t* bytes, uint32_t count, bool write) {
    uint32_t done = 0;
    while (done < count) {
        const uint32_t want = count - done < kFilePiece ? count - done : kFilePiece;
        const uint32_t moved =
            write ? platform.WriteTo(file, bytes + done, want) : platform.ReadFrom(file, bytes + done, want);
        done += moved < want ? moved : want;
        if (moved != want) break;
    }
    return done;
}

}  // namespace

uint32_t ReadInPieces(Platform& platform, Handle file, void* destination, uint32_t count) {
    return InPieces(platform, file, static_cast<uint8_t*>(destination), count, false);
}

uint32_t WriteInPieces(Platform& platform, Handle file, const void* source, uint32_t count) {
    // Not written through: the pointer is only read from when writing.
    return InPieces(platform, file, static_cast<uint8_t*>(const_cast<void*>(source)), count, true);
}
