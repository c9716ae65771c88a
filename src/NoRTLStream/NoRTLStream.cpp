#include "NoRTLStream.h"

#include <string.h>

#include "StubMemory.h"

int32_t TStream::Read(void* dest, int32_t count) {
    if (Position < 0 || count < 0) return 0;
    int32_t n = Size - Position;
    if (n <= 0) return 0;
    if (count < n) n = count;
    memcpy(dest, Buffer + Position, static_cast<size_t>(n));
    Position += n;
    return n;
}

int32_t TStream::Write(const void* src, int32_t count) {
    if (Position < 0 || count < 0) return 0;
    // Computed in 64 bits: a position near 2^31 plus a count must not wrap
    // into a small "end" and write before the block.
    const int64_t end = static_cast<int64_t>(Position) + count;
    if (end <= 0) return 0;
    if (end > INT32_MAX) OutOfMemory();  // a stream cannot hold 2 GiB
    if (end > Size) {
        if (end > Capacity) SetCapacity(static_cast<int32_t>(end));
        // Bytes between the old end and Position are not part of any write;
        // clear them rather than expose stale heap contents.
        const int32_t gapStart = Size > 0 ? Size : 0;
        if (Position > gapStart)
            memset(Buffer + gapStart, 0, static_cast<size_t>(Position - gapStart));
        Size = static_cast<int32_t>(end);
    }
    memcpy(Buffer + Position, src, static_cast<size_t>(count));
    Position = static_cast<int32_t>(end);
    return count;
}

int32_t TStream::Seek(int32_t offset, uint8_t origin) {
    // Unsigned arithmetic: positions far out of range wrap instead of
    // overflowing; the stream refuses to read or write there anyway.
    switch (origin) {
        case soBeginning: Position = offset; break;
        case soCurrent: Position = static_cast<int32_t>(static_cast<uint32_t>(Position) + static_cast<uint32_t>(offset)); break;
        case soEnd: Position = static_cast<int32_t>(static_cast<uint32_t>(Size) + static_cast<uint32_t>(offset)); break;
        default: break;
    }
    return Position;
}

int32_t TStream::GetSize() {
    const int32_t remembered = Position;
    const int32_t size = Seek(0, soEnd);
    Seek(remembered, soBeginning);
    return size;
}

void TStream::SetSize(int32_t newSize) {
    const int32_t remembered = Position;
    SetCapacity(newSize);  // while Size still holds the old size
    Size = newSize;
    if (newSize < remembered) Seek(0, soEnd);
}

void TStream::SetCapacity(int32_t n) {
    if (n > 0 && n != Size) {
        // Round up to the next 128 KiB; sizes within the last step of 2 GiB
        // cannot be rounded in 32 bits and are kept exact instead.
        const int64_t raised = (static_cast<int64_t>(n) + (kGrowthStep - 1)) & ~int64_t{kGrowthStep - 1};
        n = raised > INT32_MAX ? n : static_cast<int32_t>(raised);
    }
    if (n != Capacity) {
        if (n == 0) {
            MemFree(Buffer);
            Buffer = nullptr;
        } else if (n > 0) {
            // A null Buffer with a nonzero Capacity is possible only after a
            // negative request; realloc of null allocates afresh.
            Buffer = static_cast<uint8_t*>(MemRealloc(Capacity > 0 ? Buffer : nullptr, n));
        } else {
            // A negative size allocates nothing.
            MemFree(Buffer);
            Buffer = nullptr;
        }
    }
    Capacity = n;
}

void TStream::Clear() {
    SetCapacity(0);
    Size = 0;
    Position = 0;
}
