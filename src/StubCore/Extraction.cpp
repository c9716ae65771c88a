#include "Extraction.h"

#include "../lzma/lzma.h"
#include "Fatal.h"
#include "FileTransfer.h"

void ReadPayload(Platform& platform, Handle file, uint64_t fileSize, const PayloadEntry& entry,
                 TStream& input) {
    platform.SeekTo(file, entry.offset);
    const int32_t packed = static_cast<int32_t>(entry.packedSize);
    // Sizes of 2 GiB or more are negative counts: nothing can be read for
    // them.  Bytes beyond the end of the file cannot be read either; both are
    // found before anything is allocated for them.
    if (packed < 0 || static_cast<uint64_t>(entry.offset) + entry.packedSize > fileSize)
        FailDamagedPackage(platform);
    input.SetSize(packed);
    const int32_t size = input.GetSize();
    if (ReadInPieces(platform, file, input.Buffer, static_cast<uint32_t>(size)) != static_cast<uint32_t>(size))
        FailDamagedPackage(platform);
}

void DecodePayload(Platform& platform, const PackageHeader& header, const PayloadEntry& entry,
                   TStream& input, TStream& output) {
    const int32_t unpacked = static_cast<int32_t>(entry.unpackedSize);
    // 2 GiB or more would mean "decode without limit"; no engine is that big.
    if (unpacked < 0) FailDamagedPackage(platform);
    {
        TLZMADecoder decoder;
        if (!decoder.SetProperties(header.lzmaProperties, 5) || !decoder.IsSupportedByDecoder())
            FailDamagedPackage(platform);
        // The result is not consulted: only the size decides.
        decoder.Decode(input, output, unpacked);
    }
    if (output.GetSize() != unpacked) FailDamagedPackage(platform);
}
