#include "PackageWriter.h"

#include <lzma.h>

#include <algorithm>
#include <cstring>

#include "CRC32/CRC32.h"
#include "PeImage.h"

namespace {

void Append(Bytes& to, const Bytes& from) { to.insert(to.end(), from.begin(), from.end()); }

uint32_t Checked32(uint64_t value, const char* what) {
    if (value > 0xFFFFFFFFu) throw PackageError(std::string(what) + " lies beyond 4 GiB");
    return static_cast<uint32_t>(value);
}

lzma_options_lzma LzmaOptions(const LzmaSettings& s) {
    lzma_options_lzma o{};
    if (lzma_lzma_preset(&o, s.preset | (s.extreme ? LZMA_PRESET_EXTREME : 0)))
        throw PackageError("unsupported LZMA preset " + std::to_string(s.preset));
    o.dict_size = s.dictionarySize;
    o.lc = s.lc;
    o.lp = s.lp;
    o.pb = s.pb;
    return o;
}

// The options the encoder gets for size bytes.  No match reaches further
// back than the data is long, so the encoder gets a dictionary no larger
// than that: its memory grows with the dictionary (about ten times it), and
// 1536MiB for a small engine would need gigabytes.  The header keeps the
// size asked for, which decodes the stream just as well.
lzma_options_lzma EncoderOptions(size_t size, const LzmaSettings& settings) {
    lzma_options_lzma options = LzmaOptions(settings);
    options.dict_size = static_cast<uint32_t>(std::min<uint64_t>(options.dict_size, std::max<uint64_t>(size, 4096)));
    // LZMA1EXT without ALLOW_EOPM writes no end marker: the size is in the header.
    options.ext_flags = settings.endMarker ? LZMA_LZMA1EXT_ALLOW_EOPM : 0;
    return options;
}

}  // namespace

uint64_t Lzma1EncoderMemory(size_t size, const LzmaSettings& settings) {
    lzma_options_lzma options = EncoderOptions(size, settings);
    const lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    const uint64_t need = lzma_raw_encoder_memusage(filters);
    return need == UINT64_MAX ? 0 : need;
}

Blob::Blob(Bytes bytes) {
    auto owned = std::make_shared<const Bytes>(std::move(bytes));
    data_ = owned->data();
    size_ = owned->size();
    owner_ = std::move(owned);
}

void EncodeProperties(const LzmaSettings& s, uint8_t p[5]) {
    p[0] = static_cast<uint8_t>((s.pb * 5 + s.lp) * 9 + s.lc);
    for (int i = 0; i < 4; ++i) p[1 + i] = static_cast<uint8_t>(s.dictionarySize >> (8 * i));
}

Bytes CompressLzma1(const uint8_t* data, size_t size, const LzmaSettings& settings, const ProgressFn& progress) {
    if (settings.lc + settings.lp > 4 || settings.pb > 4)
        throw PackageError("LZMA settings need lc + lp <= 4 and pb <= 4");
    if (settings.dictionarySize < 4096 || settings.dictionarySize > kLargestEncoderDictionary)
        throw PackageError("the LZMA dictionary must be between 4 KiB and 1.5 GiB");
    lzma_options_lzma options = EncoderOptions(size, settings);
    const lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    // Ended on every way out, a progress callback that throws included
    // (a build stops packing one engine when the other one failed).
    struct Stream {
        lzma_stream s = LZMA_STREAM_INIT;
        ~Stream() { lzma_end(&s); }
    } stream;
    lzma_stream& strm = stream.s;
    const lzma_ret init = lzma_raw_encoder(&strm, filters);
    if (init == LZMA_MEM_ERROR) throw std::bad_alloc();
    if (init != LZMA_OK) throw PackageError("the LZMA encoder refused its settings");
    Bytes out;
    uint8_t buffer[1 << 16];
    const size_t step = 1 << 20;
    size_t fed = 0;
    for (;;) {
        if (strm.avail_in == 0 && fed < size) {
            const size_t n = std::min(step, size - fed);
            strm.next_in = data + fed;
            strm.avail_in = n;
            fed += n;
            if (progress) progress(fed, size);
        }
        strm.next_out = buffer;
        strm.avail_out = sizeof buffer;
        const lzma_ret ret = lzma_code(&strm, fed == size && strm.avail_in == 0 ? LZMA_FINISH : LZMA_RUN);
        out.insert(out.end(), buffer, buffer + (sizeof buffer - strm.avail_out));
        if (ret == LZMA_STREAM_END) break;
        if (ret != LZMA_OK) {
            if (ret == LZMA_MEM_ERROR) throw std::bad_alloc();
            throw PackageError("LZMA compression failed (liblzma error " + std::to_string(ret) + ")");
        }
    }
    return out;
}

bool DecompressLzma1(const uint8_t* packed, size_t packedSize, const uint8_t p[5], uint64_t unpackedSize,
                     Bytes& out, std::string& error) {
    lzma_options_lzma options{};
    const uint32_t d = p[0];
    options.lc = d % 9;
    options.lp = (d / 9) % 5;
    options.pb = d / 45;
    options.dict_size = static_cast<uint32_t>(p[1] | p[2] << 8 | p[3] << 16 | static_cast<uint32_t>(p[4]) << 24);
    if (d >= 225) { error = "properties byte " + std::to_string(d) + " is 225 or more"; return false; }
    if (options.dict_size >= 0x80000000u) { error = "dictionary size is 2 GiB or more"; return false; }
    if (options.lc + options.lp > 4) { error = "lc + lp > 4 cannot be decoded by liblzma"; return false; }
    if (options.dict_size < 4096) options.dict_size = 4096;
    if (unpackedSize >= 0x80000000u) { error = "unpacked size is 2 GiB or more"; return false; }
    const lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream strm = LZMA_STREAM_INIT;
    if (lzma_raw_decoder(&strm, filters) != LZMA_OK) { error = "liblzma refused the properties"; return false; }
    out.assign(static_cast<size_t>(unpackedSize), 0);
    strm.next_in = packed;
    strm.avail_in = packedSize;
    strm.next_out = out.data();
    strm.avail_out = out.size();
    while (strm.avail_out > 0) {
        const size_t before = strm.avail_out;
        const lzma_ret ret = lzma_code(&strm, LZMA_RUN);
        if (ret == LZMA_STREAM_END) break;
        if (ret != LZMA_OK) { error = "the LZMA stream is corrupt (liblzma error " + std::to_string(ret) + ")"; break; }
        if (before == strm.avail_out && strm.avail_in == 0) { error = "the LZMA stream ends too early"; break; }
    }
    const size_t produced = out.size() - strm.avail_out;
    lzma_end(&strm);
    if (produced != unpackedSize) {
        if (error.empty()) error = "the LZMA stream ends early (end marker)";
        error += ": " + std::to_string(produced) + " of " + std::to_string(unpackedSize) + " bytes decoded";
        return false;
    }
    error.clear();
    return true;
}

std::string CheckStub(const Bytes& stub) {
    PeInfo info;
    std::string error;
    if (!ParsePe(stub, info, error)) return error;
    if (info.peOffset != kPeHeaderOffset)
        return "its PE header starts at " + std::to_string(info.peOffset) +
               ", not at 256, so bytes 128-151 are not free for the package locator";
    for (uint32_t i = kLocatorOffset; i < kLocatorOffset + kLocatorSize; ++i)
        if (stub[i] != 0) return "bytes 128-151 are not zero (a package was already appended?)";
    if (info.imageEnd != stub.size())
        return "it has " + std::to_string(stub.size() - std::min<size_t>(info.imageEnd, stub.size())) +
               " bytes after its last section (already a package, or signed?)";
    return {};
}

void WritePackage(const PackageRecipe& recipe, PackageSink& sink, PackageLayout* layout,
                  const ProgressFn& progress) {
    if (recipe.stub.size() < kPeHeaderOffset) throw PackageError("the stub is too small to be a launcher");
    if (recipe.refuse64BitWindows && recipe.engine64) throw PackageError("a package that refuses 64-bit Windows has no 64-bit engine");
    for (const auto* text : {&recipe.wrongWidthMessage, &recipe.unsupportedWindowsMessage})
        if (text->size() > 0xFFFF) throw PackageError("a message text is longer than 65535 UTF-16 units");
    if (recipe.checkedDataBytes > recipe.engineData.size())
        throw PackageError("the checksum cannot cover more engine data than there is");

    auto pack = [&](const PayloadInput& in) {
        return in.prepacked ? *in.prepacked : CompressLzma1(in.engine, recipe.lzma, progress);
    };
    const Bytes packed32 = recipe.engine32 ? pack(*recipe.engine32) : Bytes{};
    const Bytes packed64 = recipe.engine64 ? pack(*recipe.engine64) : Bytes{};

    PackageHeader h{};
    if (recipe.propertiesOverride) {
        if (recipe.propertiesOverride->size() != 5) throw PackageError("properties override needs 5 bytes");
        std::memcpy(h.lzmaProperties, recipe.propertiesOverride->data(), 5);
    } else {
        EncodeProperties(recipe.lzma, h.lzmaProperties);
    }
    h.allowedWindows = recipe.allowedWindows;
    h.win10MinRelease = recipe.win10MinRelease;
    h.win10MaxRelease = recipe.win10MaxRelease;
    h.win11MinRelease = recipe.win11MinRelease;
    h.win11MaxRelease = recipe.win11MaxRelease;
    h.elevationMode = recipe.elevationMode;

    const uint64_t packageOffset = recipe.stub.size();
    uint64_t at = packageOffset + kHeaderSize;
    auto entry = [&](const std::optional<PayloadInput>& in, const Bytes& packed) {
        PayloadEntry e{};
        if (!in) return e;
        e.offset = Checked32(at, "a payload");
        e.packedSize = Checked32(packed.size(), "a payload's size");
        e.unpackedSize = in->unpackedSizeOverride ? *in->unpackedSizeOverride
                                                  : Checked32(in->engine.size(), "an engine's size");
        at += packed.size();
        return e;
    };
    h.engine32 = entry(recipe.engine32, packed32);
    h.engine64 = entry(recipe.engine64, packed64);
    if (recipe.refuse64BitWindows) h.engine64 = {kRefuse64BitWindows, 0, 0};

    const uint64_t textsOffset = at;
    auto text = [&](const std::u16string& t) {
        MessageRef m{};
        if (t.empty()) return m;
        m.offset = Checked32(at, "a message text");
        m.length = static_cast<uint16_t>(t.size());
        at += 2 * t.size();
        return m;
    };
    h.wrongWidthMessage = text(recipe.wrongWidthMessage);
    h.unsupportedWindowsMessage = text(recipe.unsupportedWindowsMessage);
    h.dataOffset = Checked32(at, "the engine data");
    const uint64_t expectedSize = at + recipe.engineData.size();
    Checked32(expectedSize, "the end of the package");
    const uint64_t checkedLength = h.dataOffset - packageOffset + recipe.checkedDataBytes;
    if (!ChecksumCoversLength(Checked32(checkedLength, "the checked block")))
        throw PackageError("the checked block would be " + std::to_string(checkedLength) +
                           " bytes; the launcher's checksum covers less than 2 GiB");

    // Everything between the stub and the engine data, in memory.
    Bytes middle;
    middle.reserve(static_cast<size_t>(h.dataOffset - packageOffset));
    uint8_t headerBytes[kHeaderSize];
    SerializeHeader(h, headerBytes);
    middle.insert(middle.end(), headerBytes, headerBytes + kHeaderSize);
    Append(middle, packed32);
    Append(middle, packed64);
    for (const auto* t : {&recipe.wrongWidthMessage, &recipe.unsupportedWindowsMessage})
        for (char16_t c : *t) {
            middle.push_back(static_cast<uint8_t>(c));
            middle.push_back(static_cast<uint8_t>(c >> 8));
        }

    PackageLocator l{};
    l.packageOffset = static_cast<uint32_t>(packageOffset);
    l.checkedLength = static_cast<uint32_t>(checkedLength);
    l.checkedCrc = Crc32Update(Crc32Update(0, middle.data(), static_cast<uint32_t>(middle.size())),
                               recipe.engineData.data(), recipe.checkedDataBytes);
    l.expectedSizeLow = static_cast<uint32_t>(expectedSize);
    l.expectedSizeHigh = static_cast<uint32_t>(expectedSize >> 32);
    l.minimumFileSize = recipe.minimumFileSize;
    Bytes stub = recipe.stub;
    uint8_t locatorBytes[kLocatorSize];
    SerializeLocator(l, locatorBytes);
    std::memcpy(stub.data() + kLocatorOffset, locatorBytes, kLocatorSize);

    if (recipe.setPeChecksum) {
        const uint64_t field = PeChecksumFieldOffset(stub.data(), stub.size());
        if (field == 0) throw PackageError("the stub is no PE image, so it has no checksum field");
        PeChecksum sum(field);
        sum.Add(stub.data(), stub.size());
        sum.Add(middle.data(), middle.size());
        sum.Add(recipe.engineData.data(), recipe.engineData.size());
        const uint32_t value = sum.Finish();
        for (int i = 0; i < 4; ++i) stub[field + i] = static_cast<uint8_t>(value >> (8 * i));
    }

    sink.Write(stub.data(), stub.size());
    sink.Write(middle.data(), middle.size());
    sink.Write(recipe.engineData.data(), recipe.engineData.size());

    if (layout) {
        layout->packageOffset = l.packageOffset;
        layout->locator = l;
        layout->header = h;
        layout->textsOffset = static_cast<uint32_t>(textsOffset);
    }
}

Bytes BuildPackage(const PackageRecipe& recipe, PackageLayout* layout, const ProgressFn& progress) {
    struct MemorySink final : PackageSink {
        Bytes bytes;
        void Write(const uint8_t* data, size_t size) override { bytes.insert(bytes.end(), data, data + size); }
    } sink;
    WritePackage(recipe, sink, layout, progress);
    return std::move(sink.bytes);
}

void ResealPackage(Bytes& file) {
    if (file.size() < kLocatorOffset + kLocatorSize) return;
    uint8_t bytes[kLocatorSize];
    std::memcpy(bytes, file.data() + kLocatorOffset, kLocatorSize);
    PackageLocator l = ParseLocator(bytes);
    if (static_cast<uint64_t>(l.packageOffset) + l.checkedLength > file.size()) return;
    l.checkedCrc = Crc32Update(0, file.data() + l.packageOffset, l.checkedLength);
    SerializeLocator(l, bytes);
    std::memcpy(file.data() + kLocatorOffset, bytes, kLocatorSize);
}

bool DecodeUtf8(const std::string& s, size_t& at, uint32_t& codePoint, bool surrogatesAllowed) {
    if (at >= s.size()) return false;
    const uint8_t lead = static_cast<uint8_t>(s[at]);
    uint32_t c;
    size_t extra;
    uint32_t lowest;  // below it, the form is overlong
    if (lead < 0x80) { c = lead; extra = 0; lowest = 0; }
    else if (lead >= 0xC2 && lead < 0xE0) { c = lead & 0x1F; extra = 1; lowest = 0x80; }
    else if (lead >= 0xE0 && lead < 0xF0) { c = lead & 0x0F; extra = 2; lowest = 0x800; }
    else if (lead >= 0xF0 && lead < 0xF5) { c = lead & 0x07; extra = 3; lowest = 0x10000; }
    else return false;  // a continuation byte, C0, C1 or F5-FF
    if (extra > 0 && at + extra >= s.size()) return false;
    for (size_t k = 1; k <= extra; ++k) {
        const uint8_t b = static_cast<uint8_t>(s[at + k]);
        if ((b & 0xC0) != 0x80) return false;
        c = c << 6 | (b & 0x3F);
    }
    if (c < lowest || c > 0x10FFFF || (!surrogatesAllowed && c >= 0xD800 && c < 0xE000)) return false;
    at += 1 + extra;
    codePoint = c;
    return true;
}

namespace {

void AppendUtf16(std::u16string& out, uint32_t c) {
    if (c >= 0x10000) {
        c -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (c >> 10));
        out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
        out += static_cast<char16_t>(c);
    }
}

}  // namespace

std::u16string Utf8ToUtf16(const std::string& s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        uint32_t c = 0;
        if (!DecodeUtf8(s, i, c)) throw PackageError("text is not valid UTF-8");
        AppendUtf16(out, c);
    }
    return out;
}

std::u16string Wtf8ToUtf16(const std::string& s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        uint32_t c = 0xFFFD;
        if (!DecodeUtf8(s, i, c, true)) ++i;
        AppendUtf16(out, c);
    }
    return out;
}

std::string Utf16ToUtf8(const std::u16string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | c >> 12);
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | c >> 18);
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}
