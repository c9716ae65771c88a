// TStream: the launcher's growable in-memory byte stream.  It grows in linear
// steps of 128 KiB, never by doubling, and every count is a signed 32-bit
// value, so a stream holds less than 2 GiB.  Callers may read and write the
// bytes through Buffer directly, within Size.
#pragma once
#include <stdint.h>

enum TSeekOrigin : uint8_t { soBeginning = 0, soCurrent = 1, soEnd = 2 };

class TStream {
public:
    static constexpr int32_t kGrowthStep = 131072;

    uint8_t* Buffer = nullptr;  // null while no block is held
    int32_t Size = 0;           // valid bytes from the start of Buffer
    int32_t Position = 0;       // may be negative or past the end
    int32_t Capacity = 0;       // length of the block, as last requested

    TStream() = default;
    ~TStream() { Clear(); }
    TStream(const TStream&) = delete;
    TStream& operator=(const TStream&) = delete;

    int32_t Read(void* dest, int32_t count);
    // A write that is not refused takes the whole count.
    int32_t Write(const void* src, int32_t count);
    int32_t Seek(int32_t offset, uint8_t origin);
    int32_t GetSize();
    void SetSize(int32_t newSize);
    void SetCapacity(int32_t newCapacity);
    void Clear();
};
