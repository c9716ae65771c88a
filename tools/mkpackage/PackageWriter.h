// The package writer: lays out a setup package exactly as the launcher reads
// it (stub image, header, packed 32-bit engine, packed 64-bit engine, message
// texts, engine data) and fills in the locator and its CRC-32.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "StubTypes/StubTypes.h"

using Bytes = std::vector<uint8_t>;

// One set of LZMA1 settings for both engines; written to header bytes 0-4.
struct LzmaSettings {
    uint32_t preset = 6;                // xz's presets 0-9 for the match finder and effort
    bool extreme = false;
    uint32_t lc = 3, lp = 0, pb = 2;
    uint32_t dictionarySize = 4u << 20;
    bool endMarker = false;             // write an end-of-stream marker after the data
};

// Progress of a long compression: bytes read so far of total.
using ProgressFn = std::function<void(uint64_t done, uint64_t total)>;

// Compresses data to a raw LZMA1 stream.  Throws std::runtime_error.
Bytes CompressLzma1(const Bytes& data, const LzmaSettings& settings, const ProgressFn& progress = {});
// Decompresses exactly unpackedSize bytes of a raw LZMA1 stream with a plain
// liblzma call; false with a reason when the stream does not yield exactly
// that many.  It is written independently of the launcher's decoder, which
// the decoder fuzzer compares against it.
bool DecompressLzma1(const uint8_t* packed, size_t packedSize, const uint8_t properties[5],
                     uint64_t unpackedSize, Bytes& out, std::string& error);
// The five property bytes for settings.
void EncodeProperties(const LzmaSettings& settings, uint8_t properties[5]);

// A payload either given as engine bytes (compressed here) or as bytes
// already packed (tests use this to plant broken streams).
struct PayloadInput {
    Bytes engine;                       // the engine image, compressed by the writer
    std::optional<Bytes> prepacked;     // used as is when set
    std::optional<uint32_t> unpackedSizeOverride;  // header value instead of engine.size()
};

struct PackageRecipe {
    Bytes stub;                         // the launcher image; its PE header must be at 256
    std::optional<PayloadInput> engine32;
    std::optional<PayloadInput> engine64;
    bool refuse64BitWindows = false;    // engine64.offset = 0xFFFFFFFF (needs no engine64)
    LzmaSettings lzma;
    std::optional<Bytes> propertiesOverride;  // 5 bytes written instead of the settings'
    AllowedWindowsSet allowedWindows{};
    uint16_t win10MinRelease = 1507, win10MaxRelease = 9999;
    uint16_t win11MinRelease = 2110, win11MaxRelease = 9999;
    uint8_t elevationMode = 0;
    std::u16string wrongWidthMessage;
    std::u16string unsupportedWindowsMessage;
    Bytes engineData;                   // after dataOffset, for the engine only
    uint32_t checkedDataBytes = 0;      // how much of engineData the CRC covers
    uint32_t minimumFileSize = 0;
};

struct PackageLayout {
    uint32_t packageOffset = 0;
    PackageLocator locator{};
    PackageHeader header{};
    uint32_t textsOffset = 0;           // where the message texts start
};

class PackageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Builds the whole package file.  Throws PackageError on input it cannot
// make a sound package of (a stub without room for the locator, a text too
// long for its 16-bit length, a package past 4 GiB).
Bytes BuildPackage(const PackageRecipe& recipe, PackageLayout* layout = nullptr,
                   const ProgressFn& progress = {});

// Recomputes checkedCrc after a test has changed bytes inside the block.
void ResealPackage(Bytes& file);

// Checks that a stub can carry a package; empty when it can, else why not.
std::string CheckStub(const Bytes& stub);

// Text conversions for message texts: UTF-8 in, UTF-16 stored.
std::u16string Utf8ToUtf16(const std::string& text);
std::string Utf16ToUtf8(const std::u16string& text);
