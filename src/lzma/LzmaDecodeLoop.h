// The decoding loop of TLZMADecoder, as a template so that the launcher
// (into a TStream) and the package tools (into a file, or nowhere) run the
// very same code.  Include where DecodeTo is used.
#pragma once
#include <lzma.h>

#include "../NoRTLStream/StubMemory.h"
#include "lzma.h"

// Inlined: each build has one caller, and the stub saves the call.
template <typename Take>
__attribute__((always_inline)) inline TLZMARun TLZMADecoder::DecodeTo(const uint8_t* in, uint32_t inSize, int64_t limit, int64_t outSize,
                                Take&& take) const {
    TLZMARun run{false, 0, 0};
    if (!IsSupportedByDecoder()) return run;

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
    if (init != LZMA_OK) return run;
    // Released however the loop ends (take may throw in the tools).
    struct End {
        lzma_stream* strm;
        ~End() { lzma_end(strm); }
    } end{&strm};

    strm.next_in = inSize > 0 ? in : nullptr;
    strm.avail_in = inSize;

    // Decoded bytes pass through a small chunk (never more than the window)
    // on their way out.
    uint8_t chunk[65536];
    const uint32_t chunkSize = window < sizeof chunk ? window : sizeof chunk;
    for (;;) {
        const int64_t wanted = limit - run.produced;
        strm.next_out = chunk;
        strm.avail_out = static_cast<size_t>(wanted < chunkSize ? wanted : chunkSize);
        const lzma_ret ret = lzma_code(&strm, LZMA_RUN);
        const int32_t n = static_cast<int32_t>(strm.next_out - chunk);
        if (n > 0) take(static_cast<const uint8_t*>(chunk), n);
        run.produced += n;
        if (ret == LZMA_MEM_ERROR) OutOfMemory();
        if (ret == LZMA_STREAM_END) { run.ok = true; break; }
        if (ret != LZMA_OK) break;                                // data error
        if (run.produced == limit) { run.ok = true; break; }      // closing bytes stay unread
        if (n == 0 && strm.avail_in == 0) break;                  // packed bytes ran out
    }
    run.consumed = inSize - static_cast<uint32_t>(strm.avail_in);
    return run;
}
