// .ico files as vendors hand them over: the images of an icon, each a
// bitmap (DIB) or a whole PNG file, checked before a launcher carries them.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// What Windows chooses an icon image by, as an .ico file's directory and an
// icon group state it.
struct IconFormat {
    uint32_t width = 0, height = 0;  // pixels, 1 to 256 (the directory's 0 is 256)
    uint8_t colorCount = 0;          // 0 for 256 colours and more
    uint16_t planes = 0, bitCount = 0;
};

// One image of an icon, as an .ico file holds it.  Its planes and bit count
// are, for a bitmap, its header's values; for a PNG the .ico directory's,
// or its own format's when those are 0.
struct IconImage : IconFormat {
    bool png = false;
    Bytes data;  // a DIB (BITMAPINFOHEADER, colours, XOR and AND masks) or a whole PNG file
};

// Reads an .ico file.  Refuses cursors, empty or truncated files, images
// outside the file, and images whose own header contradicts the directory.
// Returns false with a reason and leaves images untouched then.
bool ParseIco(const Bytes& file, std::vector<IconImage>& images, std::string& error);

// Whether an icon image's bytes are a PNG file (by its signature).
bool IsPngImage(const Bytes& data);
