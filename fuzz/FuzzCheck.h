// Helpers shared by the fuzz targets: an invariant check that survives
// NDEBUG (the fuzz preset builds RelWithDebInfo) and little-endian access to
// the raw input.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// A broken invariant is a finding: report where and abort, so libFuzzer
// saves the input as a crash.
#define FUZZ_CHECK(condition)                                                          \
    do {                                                                               \
        if (!(condition)) {                                                            \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, \
                         #condition);                                                  \
            std::abort();                                                              \
        }                                                                              \
    } while (0)

inline uint32_t LoadU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline void StoreU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The classic byte-at-a-time CRC-32 (reflected 0xEDB88320), written out
// independently so the launcher's faster version has something to agree with.
inline uint32_t ReferenceCrc32(const uint8_t* data, size_t length) {
    static uint32_t table[256];
    static bool built = false;
    if (!built) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t r = i;
            for (int k = 0; k < 8; ++k) r = (r & 1) ? (r >> 1) ^ 0xEDB88320u : r >> 1;
            table[i] = r;
        }
        built = true;
    }
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) c = (c >> 8) ^ table[(c ^ data[i]) & 0xFF];
    return ~c;
}
