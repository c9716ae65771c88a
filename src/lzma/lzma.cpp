#include "lzma.h"

#include <lzma.h>

#include "../NoRTLStream/StubMemory.h"

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
    if (!IsSupportedByDecoder()) return false;

    // The window never needs to exceed the output: a match reaching further
    // back than the bytes produced is an error either way.  Clamping keeps a
    // package that declares a huge dictionary for a small engine from
    // allocating memory it cannot use.
    uint32_t window = dictionarySize_;
    if (outSize >= 0 && window > outSize) window = static_cast<uint32_t>(outSize);
    if (window < kMinimumWindow) window = kMinimumWindow;

    lzma_options_lzma options{};
    options.dict_size = window;
    options.lc = lc_;
    options.lp = lp_;
    options.pb = pb_;
    const lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream strm = LZMA_STREAM_INIT;
    const lzma_ret init = lzma_raw_decoder(&strm, filters);
    if (init == LZMA_MEM_ERROR) OutOfMemory();
    if (init != LZMA_OK) return false;

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
    reserve(outputStart + (limit < plausible ? limit : plausible));

    strm.next_in = available > 0 ? in.Buffer + in.Position : nullptr;
    strm.avail_in = static_cast<size_t>(available);

    // Decoded bytes pass through a small chunk (never more than the window)
    // on their way into the output stream.
    uint8_t chunk[65536];
    const uint32_t chunkSize = window < sizeof chunk ? window : sizeof chunk;
    int64_t produced = 0;
    bool ok = false;
    for (;;) {
        const int64_t wanted = limit - produced;
        strm.next_out = chunk;
        strm.avail_out = static_cast<size_t>(wanted < chunkSize ? wanted : chunkSize);
        const lzma_ret ret = lzma_code(&strm, LZMA_RUN);
        const int32_t n = static_cast<int32_t>(strm.next_out - chunk);
        if (n > 0) {
            const int64_t required = static_cast<int64_t>(out.Position) + n;
            if (required > out.Capacity) reserve(NextOutputCapacity(out.Capacity, required, end));
            out.Write(chunk, n);
        }
        produced += n;
        if (ret == LZMA_MEM_ERROR) {
            lzma_end(&strm);
            OutOfMemory();
        }
        if (ret == LZMA_STREAM_END) { ok = true; break; }
        if (ret != LZMA_OK) break;                    // data error
        if (produced == limit) { ok = true; break; }  // closing bytes stay unread
        if (n == 0 && strm.avail_in == 0) break;      // packed bytes ran out
    }
    in.Position += static_cast<int32_t>(static_cast<size_t>(available) - strm.avail_in);
    lzma_end(&strm);
    return ok;
}
