// CRC-32 of ISO-HDLC (zlib, PNG): reflected polynomial 0xEDB88320, initial
// value and final XOR 0xFFFFFFFF.  "123456789" gives 0xCBF43926.
#pragma once
#include <stdint.h>

// A length of 0 or less gives 0.
uint32_t Crc32(const void* data, int32_t length);

// Incremental form for callers that see the data in pieces: start with
// crc = 0, feed every piece in order; the result equals Crc32 of the whole.
uint32_t Crc32Update(uint32_t crc, const void* data, uint32_t length);
