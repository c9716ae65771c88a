// The decoder adapter on arbitrary streams.  Input: five property bytes, a
// u32 unpacked size, then the packed stream.  The size is folded to at most
// 256 KiB (four of the decoder's 64 KiB chunks) so that each run stays fast:
// the output and the window are allocated whole, and megabyte blocks made
// and dropped at every run cost more than the decoding.  A size with its top
// bit set asks for "no limit" when the stream is short enough that its
// output stays small.
//
// Checks: the output never exceeds the requested size; a successful decode
// to the full size agrees byte for byte with the package writer's own
// decoder (an independent loop over liblzma), and so does a failure.
#include <cstring>
#include <string>

#include "FakeWindows.h"
#include "FuzzCheck.h"
#include "PackageWriter.h"
#include "lzma/lzma.h"

namespace {

constexpr uint32_t kMaxUnpacked = 256u << 10;
// Without a limit a stream of this many bytes can still only expand to a
// few megabytes (LZMA's best case is a few thousand to one).
constexpr size_t kMaxUnlimitedStream = 256;
constexpr uint32_t kMaxUnlimitedWindow = 16u << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9) return 0;
    uint8_t properties[5];
    std::memcpy(properties, data, 5);
    const uint32_t rawSize = LoadU32(data + 5);
    const uint8_t* packed = data + 9;
    const size_t packedSize = size - 9;
    if (packedSize > (1u << 24)) return 0;

    int64_t outSize = rawSize % (kMaxUnpacked + 1);
    if ((rawSize & 0x80000000u) && packedSize <= kMaxUnlimitedStream) outSize = -1;

    TStream in;
    TStream out;
    in.SetSize(static_cast<int32_t>(packedSize));
    if (packedSize > 0) std::memcpy(in.Buffer, packed, packedSize);

    TLZMADecoder decoder;
    const bool valid = decoder.SetProperties(properties, 5);
    // Property rules: byte 0 below 225, dictionary below 2 GiB, and nothing
    // else decides.
    const uint32_t dictionary = LoadU32(properties + 1);
    FUZZ_CHECK(valid == (properties[0] < 225 && dictionary < 0x80000000u));
    FUZZ_CHECK(!decoder.SetProperties(properties, 4));
    if (!valid) return 0;
    // With a size the decoder cuts the window to it; without one it takes
    // the whole dictionary, and allocating up to 2 GiB each run would stall
    // the fuzzer.  The short streams allowed here cannot tell the difference.
    if (outSize < 0 && dictionary > kMaxUnlimitedWindow) StoreU32(properties + 1, kMaxUnlimitedWindow);
    FUZZ_CHECK(decoder.SetProperties(properties, 5));
    const uint32_t lc = properties[0] % 9, lp = properties[0] / 9 % 5;
    FUZZ_CHECK(decoder.IsSupportedByDecoder() == (lc + lp <= 4));

    bool ok = false;
    try {
        ok = decoder.Decode(in, out, outSize);
    } catch (const FakeExit& e) {
        // Out of memory is the one way out of Decode, and it has its own code.
        FUZZ_CHECK(e.code == 203);
        return 0;
    }
    const int32_t produced = out.GetSize();
    FUZZ_CHECK(produced >= 0);
    FUZZ_CHECK(out.Position == produced);
    FUZZ_CHECK(in.Position >= 0 && in.Position <= in.Size);
    if (outSize >= 0) FUZZ_CHECK(produced <= outSize);
    // Nothing to produce is a success even for properties liblzma refuses.
    if (outSize == 0) FUZZ_CHECK(ok && produced == 0);
    else if (!decoder.IsSupportedByDecoder()) FUZZ_CHECK(!ok && produced == 0);
    if (outSize < 0 || !decoder.IsSupportedByDecoder()) return 0;

    // The writer's decoder allocates the whole dictionary; a dictionary
    // larger than the output cannot change the result (no match may reach
    // past the bytes produced), so it is cut to keep this run small.
    uint8_t clamped[5];
    std::memcpy(clamped, properties, 5);
    if (dictionary > static_cast<uint32_t>(outSize) && dictionary > 4096)
        StoreU32(clamped + 1, static_cast<uint32_t>(outSize) < 4096 ? 4096u : static_cast<uint32_t>(outSize));
    Bytes reference;
    std::string error;
    const bool referenceOk =
        DecompressLzma1(packed, packedSize, clamped, static_cast<uint64_t>(outSize), reference, error);
    FUZZ_CHECK(referenceOk == (produced == outSize));
    if (referenceOk) FUZZ_CHECK(produced == 0 || std::memcmp(reference.data(), out.Buffer, produced) == 0);
    return 0;
}
