// Turning the chosen payload into the setup engine's bytes in memory.
#pragma once
#include <stdint.h>

#include "../NoRTLStream/NoRTLStream.h"
#include "../StubTypes/StubTypes.h"
#include "Platform.h"

// Reads the payload's packed bytes into input (sized once, filled by one
// read).  A payload that lies past the end of the file, or a read that comes
// back short, is a damaged package.
void ReadPayload(Platform& platform, Handle file, uint64_t fileSize, const PayloadEntry& entry,
                 TStream& input);

// Decodes input into output with the header's LZMA properties.  Anything but
// exactly the unpacked size is a damaged package.
void DecodePayload(Platform& platform, const PackageHeader& header, const PayloadEntry& entry,
                   TStream& input, TStream& output);
