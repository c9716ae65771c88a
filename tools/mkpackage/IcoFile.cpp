#include "IcoFile.h"

#include <cstring>

#include "CRC32/CRC32.h"
#include "PeBytes.h"

using namespace pe_bytes;

namespace {

const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

std::string Size(const IconImage& image) { return Num(image.width) + "x" + Num(image.height); }

// Whether a PNG of this colour type may have this bit depth.
bool DepthAllowed(uint8_t colourType, uint8_t depth) {
    switch (colourType) {
        case 0: return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;  // grey
        case 3: return depth == 1 || depth == 2 || depth == 4 || depth == 8;                 // palette
        case 2: case 4: case 6: return depth == 8 || depth == 16;  // RGB, grey + alpha, RGBA
        default: return false;
    }
}

void CheckPng(const Reader& r, IconImage& image, const std::string& label) {
    // Windows takes the size from IHDR and decodes the rest only when it
    // draws the icon, so a damaged PNG would pass unnoticed until users see
    // no icon.  Every chunk is walked to IEND and its CRC checked; the
    // chunks a decoder needs must be there, in their order.
    if (r.BigU32(8) != 13 || std::memcmp(r.data() + 12, "IHDR", 4) != 0)
        Refuse(label + " is a PNG without an IHDR chunk first");
    const uint32_t width = r.BigU32(16), height = r.BigU32(20);
    const uint8_t depth = r.U8(24), colourType = r.U8(25);
    if (width != image.width || height != image.height)
        Refuse(label + ": the PNG is " + Num(width) + "x" + Num(height) + ", the icon directory says " + Size(image));
    const int channels = colourType == 0 ? 1 : colourType == 2 ? 3 : colourType == 3 ? 1 : colourType == 4 ? 2 : colourType == 6 ? 4 : 0;
    if (!DepthAllowed(colourType, depth)) Refuse(label + " is a PNG of an unknown pixel format");
    if (r.U8(26) != 0 || r.U8(27) != 0 || r.U8(28) > 1)
        Refuse(label + " is a PNG with an unknown compression, filter or interlace method");
    bool palette = false, imageData = false, imageDataEnded = false;
    for (uint64_t at = 8;;) {
        const uint32_t length = r.BigU32(at);
        if (length > 0x7FFFFFFFu) Refuse(label + ": a PNG chunk at offset " + Num(at) + " claims " + Num(length) + " bytes");
        r.Need(at, 12ull + length);
        const std::string type(reinterpret_cast<const char*>(r.data() + at + 4), 4);
        const std::string chunk = label + ": the PNG's " + type + " chunk at offset " + Num(at);
        for (char c : type)
            if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) Refuse(label + ": the PNG has a chunk without a name at offset " + Num(at));
        if (Crc32Update(0, r.data() + at + 4, 4 + length) != r.BigU32(at + 8 + length))
            Refuse(chunk + " fails its CRC-32 (damaged)");
        if (type == "IEND") break;
        const bool critical = type[0] >= 'A' && type[0] <= 'Z';
        if (type == "IDAT") {
            if (imageDataEnded) Refuse(chunk + " follows other chunks after the image data");
            imageData = true;
        } else if (imageData) {
            imageDataEnded = true;
        }
        if (type == "PLTE") {
            if (imageData || colourType == 0 || colourType == 4) Refuse(chunk + " is out of place");
            palette = true;
        } else if (type == "IHDR" && at != 8) {
            Refuse(chunk + " is a second IHDR");
        } else if (critical && type != "IDAT" && type != "IHDR") {
            Refuse(chunk + " is a critical chunk no decoder knows");
        }
        at += 12ull + length;
    }
    if (!imageData) Refuse(label + " is a PNG without image data (no IDAT chunk)");
    if (colourType == 3 && !palette) Refuse(label + " is a palette PNG without its palette (no PLTE chunk)");
    if (image.planes == 0) image.planes = 1;
    if (image.bitCount == 0) image.bitCount = static_cast<uint16_t>(channels * depth);
}

void CheckDib(const Reader& r, IconImage& image, const std::string& label) {
    const uint32_t headerSize = r.U32(0);
    if (headerSize < 40) Refuse(label + " is neither a PNG nor a bitmap with a BITMAPINFOHEADER");
    r.Need(0, headerSize);
    const int32_t width = static_cast<int32_t>(r.U32(4)), height = static_cast<int32_t>(r.U32(8));
    const uint16_t planes = r.U16(12), bitCount = r.U16(14);
    const uint32_t compression = r.U32(16), coloursUsed = r.U32(32);
    // An icon bitmap is twice as high as the icon: the colour image, then the
    // transparency mask.
    if (width != static_cast<int64_t>(image.width) || height != 2 * static_cast<int64_t>(image.height))
        Refuse(label + ": the bitmap is " + std::to_string(width) + "x" + std::to_string(height) +
               " (image and mask), the icon directory says " + Size(image));
    if (planes != 1) Refuse(label + ": the bitmap has " + Num(planes) + " planes, not 1");
    if (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 16 && bitCount != 24 && bitCount != 32)
        Refuse(label + ": the bitmap has " + Num(bitCount) + " bits per pixel");
    const bool bitfields = compression == 3 && (bitCount == 16 || bitCount == 32);
    if (compression != 0 && !bitfields) Refuse(label + ": the bitmap is compressed (" + Num(compression) + ")");
    const uint64_t maxColours = bitCount <= 8 ? 1u << bitCount : 0;
    if (coloursUsed > (maxColours ? maxColours : 256)) Refuse(label + ": the bitmap claims " + Num(coloursUsed) + " colours");
    const uint64_t colours = coloursUsed ? coloursUsed : maxColours;
    const uint64_t masks = bitfields && headerSize == 40 ? 12 : 0;
    const uint64_t xorStride = (static_cast<uint64_t>(width) * bitCount + 31) / 32 * 4;
    const uint64_t andStride = (static_cast<uint64_t>(width) + 31) / 32 * 4;
    const uint64_t needed = headerSize + masks + 4 * colours + (xorStride + andStride) * image.height;
    if (r.size() < needed)
        Refuse(label + ": a " + Size(image) + " bitmap of " + Num(bitCount) + " bits per pixel needs " + Num(needed) +
               " bytes, the icon file gives " + Num(r.size()));
    image.planes = planes;
    image.bitCount = bitCount;
}

void ParseIcoOrRefuse(const Bytes& file, std::vector<IconImage>& images) {
    const Reader r(file.data(), file.size(), "the icon file");
    if (file.size() < 6) Refuse("the icon file is " + Num(file.size()) + " bytes long, too short for an icon header");
    const uint16_t reserved = r.U16(0), type = r.U16(2), count = r.U16(4);
    if (reserved == 0 && type == 2) Refuse("this is a cursor file, not an icon");
    if (reserved != 0 || type != 1) Refuse("this is not an icon file (its header does not start 00 00 01 00)");
    if (count == 0) Refuse("the icon file holds no images");
    const uint64_t directoryEnd = 6 + 16ull * count;
    if (file.size() < directoryEnd)
        Refuse("the icon file is truncated: its directory of " + Num(count) + " images needs " + Num(directoryEnd) +
               " bytes, the file has " + Num(file.size()));
    std::vector<IconImage> parsed;
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t e = 6 + 16ull * i;
        IconImage image;
        static_cast<IconFormat&>(image) = ReadIconFormat(r, e);
        const uint32_t size = r.U32(e + 8), offset = r.U32(e + 12);
        const std::string label = "image " + Num(i + 1) + " of " + Num(count) + " (" + Size(image) + ")";
        if (size == 0) Refuse(label + " is empty");
        if (offset < directoryEnd) Refuse(label + " starts inside the icon directory (at " + Num(offset) + ")");
        if (static_cast<uint64_t>(offset) + size > file.size())
            Refuse(label + " lies outside the file: bytes " + Num(offset) + " to " + Num(static_cast<uint64_t>(offset) + size) +
                   " of a " + Num(file.size()) + "-byte file");
        image.data.assign(file.begin() + offset, file.begin() + offset + size);
        const Reader data(image.data.data(), image.data.size(), label);
        image.png = size >= 8 && std::memcmp(image.data.data(), kPngSignature, 8) == 0;
        if (image.png)
            CheckPng(data, image, label);
        else
            CheckDib(data, image, label);
        parsed.push_back(std::move(image));
    }
    images = std::move(parsed);
}

}  // namespace

bool IsPngImage(const Bytes& data) {
    return data.size() >= 8 && std::memcmp(data.data(), kPngSignature, 8) == 0;
}

bool ParseIco(const Bytes& file, std::vector<IconImage>& images, std::string& error) {
    return Guarded(error, [&] { ParseIcoOrRefuse(file, images); });
}

