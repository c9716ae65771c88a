// The package writer: lays out a setup package exactly as the launcher reads
// it (stub image, header, packed 32-bit engine, packed 64-bit engine, message
// texts, engine data) and fills in the locator and its CRC-32.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "StubTypes/StubTypes.h"

using Bytes = std::vector<uint8_t>;

// Bytes a recipe refers to: a copy of its own (tests), or a view of a mapped
// file kept alive by owner (the tool, whose engine data may be gigabytes).
class Blob {
public:
    Blob() = default;
    Blob(Bytes bytes);  // NOLINT: implicit, so that tests assign Bytes
    Blob(std::shared_ptr<const void> owner, const uint8_t* data, size_t size)
        : owner_(std::move(owner)), data_(data), size_(size) {}
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    void clear() { *this = Blob(); }

private:
    std::shared_ptr<const void> owner_;
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

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

// The largest dictionary liblzma's LZMA1 encoder takes (1.5 GiB).
constexpr uint32_t kLargestEncoderDictionary = 1536u << 20;

// The memory liblzma's encoder needs for size bytes with these settings.
uint64_t Lzma1EncoderMemory(size_t size, const LzmaSettings& settings);

// Compresses data to a raw LZMA1 stream.  The encoder works with a
// dictionary no larger than the data (settings.dictionarySize is what the
// header states).  Throws PackageError.
Bytes CompressLzma1(const uint8_t* data, size_t size, const LzmaSettings& settings,
                    const ProgressFn& progress = {});
inline Bytes CompressLzma1(const Bytes& data, const LzmaSettings& settings, const ProgressFn& progress = {}) {
    return CompressLzma1(data.data(), data.size(), settings, progress);
}
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
    Blob engineData;                    // after dataOffset, for the engine only
    uint32_t checkedDataBytes = 0;      // how much of engineData the CRC covers
    uint32_t minimumFileSize = 0;
    // Store the PE checksum of the whole finished file in the stub's
    // optional header (the stub must then be a real PE image).
    bool setPeChecksum = false;
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

// Where a package's bytes go, in file order.
class PackageSink {
public:
    virtual void Write(const uint8_t* data, size_t size) = 0;

protected:
    ~PackageSink() = default;
};

// Writes the whole package file to sink, front to back; everything that
// depends on later bytes (the locator's CRC-32 and sizes, the PE checksum)
// is worked out before the first byte goes out.  Throws PackageError on
// input it cannot make a sound package of (a stub without room for the
// locator, a text too long for its 16-bit length, a checked block of 2 GiB
// or more, a package past 4 GiB).
void WritePackage(const PackageRecipe& recipe, PackageSink& sink, PackageLayout* layout = nullptr,
                  const ProgressFn& progress = {});

// The same, into memory.
Bytes BuildPackage(const PackageRecipe& recipe, PackageLayout* layout = nullptr,
                   const ProgressFn& progress = {});

// Recomputes checkedCrc after a test has changed bytes inside the block.
void ResealPackage(Bytes& file);

// Checks that a stub can carry a package; empty when it can, else why not.
std::string CheckStub(const Bytes& stub);

// Text conversions for message texts: UTF-8 in, UTF-16 stored.  Throws
// PackageError on anything that is not well-formed UTF-8: stray or missing
// continuation bytes, overlong forms (C0 AF for '/'), encoded surrogates
// (ED A0 80) and code points above U+10FFFF.
std::u16string Utf8ToUtf16(const std::string& text);
// Lone surrogates, which have no UTF-8 form, are written as the three bytes
// their code point would take (as WTF-8 does), so that nothing is lost.
std::string Utf16ToUtf8(const std::u16string& text);
// The inverse of Utf16ToUtf8 for text it made: surrogates in their
// three-byte form come back as they were; bytes that are no UTF-8 become
// U+FFFD.
std::u16string Wtf8ToUtf16(const std::string& text);

// Decodes the UTF-8 sequence at text[at], by the rules of Utf8ToUtf16 (or
// with surrogates let through); on success sets codePoint and moves at past
// it, otherwise leaves both as they were.
bool DecodeUtf8(const std::string& text, size_t& at, uint32_t& codePoint, bool surrogatesAllowed = false);
