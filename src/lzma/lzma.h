// TLZMADecoder: a thin adapter that decodes a raw LZMA1 stream (no container,
// no end marker required) from one TStream into another with liblzma.
#pragma once
#include <stdint.h>

#include "../NoRTLStream/NoRTLStream.h"

// The output block's next capacity when a write of `required` bytes (its
// end, counted from the block's start) does not fit into `capacity`: half as
// much again plus what the write needs, so that the copying stays linear,
// but never more than `end`, the most the decoding may produce.  Computed in
// 64 bits: near 1.4 GB the 32-bit sum would overflow.
int64_t NextOutputCapacity(int64_t capacity, int64_t required, int64_t end);

// What one decoding did.
struct TLZMARun {
    bool ok;          // ended normally: the limit was reached or an end marker found
    int64_t produced; // bytes of output
    uint32_t consumed;  // packed bytes read; the rest were never looked at
};

class TLZMADecoder {
public:
    // The smallest window liblzma works with; smaller dictionaries get it.
    static constexpr uint32_t kMinimumWindow = 4096;
    // How much output is reserved up front: the declared size, but no more
    // than this many times the packed size plus a fixed allowance.  Real
    // engines pack to between a half and a tenth of their size.
    static constexpr int64_t kPlausibleRatio = 64;
    static constexpr int64_t kMinimumReservation = 8 << 20;

    // bytes: the properties byte ((pb * 5 + lp) * 9 + lc) and the dictionary
    // size (u32 LE).  False for fewer than five bytes, a properties byte of
    // 225 or more, or a dictionary of 2^31 bytes or more.
    bool SetProperties(const uint8_t* bytes, int32_t count);

    // liblzma's LZMA1 decoder refuses lc + lp > 4, which SetProperties lets
    // through; a stream with such properties cannot be decoded here.
    bool IsSupportedByDecoder() const { return lc_ + lp_ <= 4; }

    // Decodes from in's position to its end, appending to out at its
    // position, and stops as soon as outSize bytes have been produced: the
    // range coder's closing bytes are never decoded.  A negative outSize means
    // no limit (until an end marker).  True when decoding ended normally (the
    // size was reached or an end marker found); false on a data error, on
    // packed bytes that run out early, or on properties liblzma refuses.
    bool Decode(TStream& in, TStream& out, int64_t outSize);

    // The decoding itself, for any place the bytes go: decodes the inSize
    // packed bytes at in, handing the output to take(const uint8_t* data,
    // int32_t n) in pieces of at most 64 KiB, and stops as soon as limit
    // (> 0) bytes have been produced.  outSize is the declared size, which
    // bounds the window.  Decode uses it, and so do tools that must judge a
    // package exactly as the launcher does without holding the whole output
    // (LzmaDecodeLoop.h holds the definition).
    template <typename Take>
    TLZMARun DecodeTo(const uint8_t* in, uint32_t inSize, int64_t limit, int64_t outSize, Take&& take) const;

private:
    uint32_t lc_ = 0, lp_ = 0, pb_ = 0;
    uint32_t dictionarySize_ = 0;
};
