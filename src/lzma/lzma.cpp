#include "lzma.h"

#include "LzmaDecodeLoop.h"

int64_t NextOutputCapacity(int64_t capacity, int64_t required, int64_t end) {
    int64_t next = capacity + capacity / 2;
    if (next < required) next = required;
    return next < end ? next : end;
}

bool TLZMADecoder::SetProperties(const uint8_t* bytes, int32_t count) {
    if (count < 5) return false;
    const uint32_t d = bytes[0];
    const uint32_t lc = d % 9, lp = (d / 9) % 5, pb = d / 45;
    if (lc > 8 || lp > 4 || pb > 4) return false;
    const uint32_t dictionary = static_cast<uint32_t>(bytes[1]) | static_cast<uint32_t>(bytes[2]) << 8 |
                                static_cast<uint32_t>(bytes[3]) << 16 |
                                static_cast<uint32_t>(bytes[4]) << 24;
    if (dictionary >= 0x80000000u) return false;
    lc_ = lc;
    lp_ = lp;
    pb_ = pb;
    dictionarySize_ = dictionary;
    return true;
}

bool TLZMADecoder::Decode(TStream& in, TStream& out, int64_t outSize) {
    // A stream never holds 2 GiB, so "no limit" ends there at the latest.
    const int64_t room = out.Position >= 0 ? INT32_MAX - static_cast<int64_t>(out.Position) : 0;
    const int64_t limit = outSize < 0 || outSize > room ? room : outSize;
    if (limit == 0) return outSize == 0;

    // Reserve the output once, so that the 128 KiB growth steps of Write do
    // not move the block again and again on the way up.  The reservation
    // believes the declared size only as far as the packed bytes can
    // plausibly deliver it: a header that claims 2 GiB over a few bytes of
    // stream is a damaged package, to be found by the short output, not an
    // allocation failure.  Beyond the reservation the block grows by the
    // rule of NextOutputCapacity.
    const int32_t available = in.Position >= 0 && in.Size > in.Position ? in.Size - in.Position : 0;
    const int64_t outputStart = out.Position;
    const int64_t plausible = static_cast<int64_t>(available) * kPlausibleRatio + kMinimumReservation;
    const int64_t end = outputStart + limit;
    auto reserve = [&](int64_t wanted) {
        if (wanted > end) wanted = end;
        if (wanted > out.Capacity) out.SetCapacity(static_cast<int32_t>(wanted));
    };
    if (IsSupportedByDecoder()) reserve(outputStart + (limit < plausible ? limit : plausible));

    const TLZMARun run = DecodeTo(in.Buffer + (available > 0 ? in.Position : 0), static_cast<uint32_t>(available),
                                  limit, outSize, [&](const uint8_t* chunk, int32_t n) __attribute__((always_inline)) {
                                      const int64_t required = static_cast<int64_t>(out.Position) + n;
                                      if (required > out.Capacity)
                                          reserve(NextOutputCapacity(out.Capacity, required, end));
                                      out.Write(chunk, n);
                                  });
    in.Position += static_cast<int32_t>(run.consumed);
    return run.ok;
}
