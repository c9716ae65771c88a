#include "CRC32.h"

namespace {

constexpr uint32_t kPolynomial = 0xEDB88320u;

// Slicing-by-8: eight 256-entry tables let the loop take eight bytes per step
// instead of one, for the same result as the classic byte-wise table (the
// first table is exactly that one).  The tables are built on the stack for
// each call: 8 KiB of constants would otherwise ship in every package, and
// building them costs about 2 microseconds against milliseconds of data.
struct Tables {
    uint32_t t[8][256];
    Tables() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t r = i;
            for (int k = 0; k < 8; ++k) r = (r >> 1) ^ (kPolynomial & (0u - (r & 1)));
            t[0][i] = r;
        }
        for (uint32_t i = 0; i < 256; ++i)
            for (int s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    }
};

}  // namespace

uint32_t Crc32Update(uint32_t crc, const void* data, uint32_t length) {
    const Tables tables;
    const auto& t = tables.t;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    uint32_t c = ~crc;
    while (length >= 8) {
        const uint32_t lo = c ^ (static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                 static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
        c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
            t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
        p += 8;
        length -= 8;
    }
    while (length--) c = (c >> 8) ^ t[0][(c ^ *p++) & 0xFF];
    return ~c;
}

uint32_t Crc32(const void* data, int32_t length) {
    if (length <= 0) return 0;
    return Crc32Update(0, data, static_cast<uint32_t>(length));
}
