#include "PackageCheck.h"

#include <cstdio>
#include <cstring>

#include "CRC32/CRC32.h"
#include "NoRTLStream/NoRTLStream.h"
#include "NoRTLStream/StubMemory.h"
#include "FileIo.h"
#include "Options.h"
#include "lzma/lzma.h"

// The launcher's memory stream and decoder end the process through this
// hook when memory runs out; here that is an error like any other.
void OutOfMemory() { throw Failure("out of memory"); }

namespace {

uint32_t LittleEndian32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24);
}

// Whether [offset, offset + length) lies inside the file.
bool Inside(const PackageFile& file, uint64_t offset, uint64_t length) {
    return offset <= file.bytes.size() && length <= file.bytes.size() - offset;
}

[[noreturn]] void Fail(const PackageFile& file, const std::string& reason) {
    throw Failure(file.path + ": " + reason);
}

void CheckPayload(const PackageFile& file, const char* name, const PayloadEntry& entry,
                  const std::function<void(const std::string&)>& ok, Bytes& out) {
    const std::string field = std::string("header field ") + name;
    // The launcher takes both sizes as signed 32-bit counts.
    if (entry.packedSize >= 0x80000000u)
        Fail(file, field + ".packedSize " + std::to_string(entry.packedSize) + " is 2 GiB or more");
    if (entry.unpackedSize >= 0x80000000u)
        Fail(file, field + ".unpackedSize " + std::to_string(entry.unpackedSize) + " is 2 GiB or more");
    if (!Inside(file, entry.offset, entry.packedSize))
        Fail(file, field + ": the packed stream (offset " + std::to_string(entry.offset) + ", packedSize " +
                       std::to_string(entry.packedSize) + ") runs past the end of the file (" +
                       std::to_string(file.bytes.size()) + " bytes)");
    // Decoded by the launcher's own decoder, judged as the launcher judges:
    // by the size alone.
    TStream input, output;
    input.SetSize(static_cast<int32_t>(entry.packedSize));
    if (entry.packedSize) std::memcpy(input.Buffer, file.bytes.data() + entry.offset, entry.packedSize);
    TLZMADecoder decoder;
    decoder.SetProperties(file.header.lzmaProperties, 5);
    const bool ended = decoder.Decode(input, output, static_cast<int32_t>(entry.unpackedSize));
    if (output.GetSize() != static_cast<int32_t>(entry.unpackedSize))
        Fail(file, field + ": the LZMA stream decodes to " + std::to_string(output.GetSize()) + " bytes, not " +
                       std::to_string(entry.unpackedSize) + " (unpackedSize)" +
                       (ended ? "" : ": it is corrupt or ends too early"));
    out.assign(output.Buffer, output.Buffer + output.Size);
    ok(std::string(name) + ": " + std::to_string(entry.packedSize) + " packed bytes at offset " +
       std::to_string(entry.offset) + " decode to exactly " + std::to_string(entry.unpackedSize) + " bytes");
}

void CheckMessage(const PackageFile& file, const char* name, const MessageRef& ref,
                  const std::function<void(const std::string&)>& ok) {
    if (ref.length == 0) {
        ok(std::string(name) + ": empty");
        return;
    }
    if (!Inside(file, ref.offset, 2ull * ref.length))
        Fail(file, std::string("header field ") + name + ": the text (offset " + std::to_string(ref.offset) +
                       ", " + std::to_string(ref.length) + " UTF-16 units) runs past the end of the file (" +
                       std::to_string(file.bytes.size()) + " bytes)");
    ok(std::string(name) + ": " + std::to_string(ref.length) + " UTF-16 units at offset " +
       std::to_string(ref.offset));
}

}  // namespace

PackageFile ParsePackageFile(std::string path, Bytes bytes) {
    PackageFile file;
    file.path = std::move(path);
    file.bytes = std::move(bytes);
    if (file.bytes.size() >= kLocatorOffset + kLocatorSize) {
        uint8_t raw[kLocatorSize];
        std::memcpy(raw, file.bytes.data() + kLocatorOffset, kLocatorSize);
        file.locator = ParseLocator(raw);
        file.hasLocator = true;
    }
    if (file.hasLocator && file.locator.packageOffset != 0 && Inside(file, file.locator.packageOffset, kHeaderSize)) {
        uint8_t raw[kHeaderSize];
        std::memcpy(raw, file.bytes.data() + file.locator.packageOffset, kHeaderSize);
        file.header = ParseHeader(raw);
        file.hasHeader = true;
    }
    return file;
}

PackageFile LoadPackageFile(const std::string& path) {
    Bytes bytes;
    std::string error;
    if (!ReadWholeFile(path, bytes, error)) throw Failure(error);
    return ParsePackageFile(path, std::move(bytes));
}

bool SizeRulePasses(const PackageFile& file) { return !IsTruncated(file.locator, file.bytes.size()); }

std::optional<uint32_t> CheckedBlockCrc(const PackageFile& file) {
    if (!Inside(file, file.locator.packageOffset, file.locator.checkedLength)) return std::nullopt;
    return Crc32Update(0, file.bytes.data() + file.locator.packageOffset, file.locator.checkedLength);
}

std::optional<std::u16string> MessageText(const PackageFile& file, const MessageRef& ref) {
    if (!Inside(file, ref.offset, 2ull * ref.length)) return std::nullopt;
    std::u16string text(ref.length, u'\0');
    const uint8_t* p = file.bytes.data() + ref.offset;
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char16_t>(p[2 * i] | p[2 * i + 1] << 8);
    return text;
}

void VerifyPackage(const PackageFile& file, EngineChoice choice, const std::function<void(const std::string&)>& ok,
                   Bytes* decoded) {
    const PackageLocator& l = file.locator;
    const uint64_t size = file.bytes.size();
    if (!file.hasLocator)
        Fail(file, "locator: the file is " + std::to_string(size) +
                       " bytes long, too short for the locator at bytes 128-151");
    if (l.packageOffset == 0)
        Fail(file, "locator field packageOffset is 0: no package has been appended (a bare stub?)");
    ok("locator: package at offset " + std::to_string(l.packageOffset));

    if (l.minimumFileSize != 0) {
        if (!SizeRulePasses(file))
            Fail(file, "size rule: locator field minimumFileSize is " + std::to_string(l.minimumFileSize) +
                           " but the file is only " + std::to_string(size) + " bytes long (truncated)");
        ok("size rule: file " + std::to_string(size) + " bytes, minimumFileSize " +
           std::to_string(l.minimumFileSize));
    } else {
        if (!SizeRulePasses(file))
            Fail(file, "size rule: locator field expectedFileSize is " + std::to_string(l.ExpectedFileSize()) +
                           " but the file is only " + std::to_string(size) + " bytes long (truncated by " +
                           std::to_string(l.ExpectedFileSize() - static_cast<int64_t>(size)) + " bytes)");
        ok("size rule: file " + std::to_string(size) + " bytes, expectedFileSize " +
           std::to_string(l.ExpectedFileSize()));
    }

    const std::optional<uint32_t> crc = CheckedBlockCrc(file);
    if (!crc)
        Fail(file, "locator field checkedLength " + std::to_string(l.checkedLength) + ": the checked block (from " +
                       std::to_string(l.packageOffset) + ") runs past the end of the file (" +
                       std::to_string(size) + " bytes)");
    if (*crc != l.checkedCrc)
        Fail(file, "CRC-32 of the checked block (" + std::to_string(l.checkedLength) + " bytes at offset " +
                       std::to_string(l.packageOffset) + ") is " + Hex32(*crc) + ", locator field checkedCrc says " +
                       Hex32(l.checkedCrc) + " (damaged)");
    ok("checked block: " + std::to_string(l.checkedLength) + " bytes, CRC-32 " + Hex32(*crc));

    if (!file.hasHeader)
        Fail(file, "header: the 74 header bytes at packageOffset " + std::to_string(l.packageOffset) +
                       " run past the end of the file");
    const PackageHeader& h = file.header;
    ok("header: 74 bytes at offset " + std::to_string(l.packageOffset));

    const unsigned d = h.lzmaProperties[0];
    const uint32_t dict = LittleEndian32(h.lzmaProperties + 1);
    const unsigned lc = d % 9, lp = (d / 9) % 5, pb = d / 45;
    if (d >= 225) Fail(file, "header byte 0 (LZMA properties) is " + std::to_string(d) + ", not below 225");
    if (dict >= 0x80000000u)
        Fail(file, "header bytes 1-4 (LZMA dictionary size) " + std::to_string(dict) + " are 2^31 or more");
    if (lc + lp > 4)
        Fail(file, "header byte 0 (LZMA properties) " + std::to_string(d) + " means lc " + std::to_string(lc) +
                       " + lp " + std::to_string(lp) + " > 4, which the decoder cannot handle");
    ok("LZMA properties: lc " + std::to_string(lc) + ", lp " + std::to_string(lp) + ", pb " + std::to_string(pb) +
       ", dictionary " + std::to_string(dict) + " bytes");

    const bool has32 = h.engine32.offset != 0;
    const bool refuses64 = h.engine64.offset == kRefuse64BitWindows;
    const bool has64 = h.engine64.offset != 0 && !refuses64;
    if (!has32 && !has64)
        Fail(file, refuses64 ? "header field engine64.offset is 0xFFFFFFFF (refuse 64-bit Windows) but "
                               "engine32.offset is 0: there is no engine at all"
                             : "header fields engine32.offset and engine64.offset are both 0: there is no engine");
    Bytes scratch;
    if (choice == EngineChoice::kOnly32 && !has32)
        Fail(file, "header field engine32.offset is 0: the package has no 32-bit engine");
    if (choice == EngineChoice::kOnly64 && !has64)
        Fail(file, std::string("header field engine64.offset is ") + (refuses64 ? "0xFFFFFFFF" : "0") +
                       ": the package has no 64-bit engine");
    if (has32 && choice != EngineChoice::kOnly64)
        CheckPayload(file, "engine32", h.engine32, ok, choice == EngineChoice::kOnly32 && decoded ? *decoded : scratch);
    else if (!has32)
        ok("engine32: none");
    if (has64 && choice != EngineChoice::kOnly32)
        CheckPayload(file, "engine64", h.engine64, ok, choice == EngineChoice::kOnly64 && decoded ? *decoded : scratch);
    else if (refuses64)
        ok("engine64: none, and 64-bit Windows is refused");
    else if (!has64)
        ok("engine64: none");

    CheckMessage(file, "wrongWidthMessage", h.wrongWidthMessage, ok);
    CheckMessage(file, "unsupportedWindowsMessage", h.unsupportedWindowsMessage, ok);
}

std::string Hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string ElevationName(uint8_t mode) {
    if (mode == 0) return "none";
    if (mode == 1) return "runas";
    if (mode == 2) return "noadmin";
    return "none (value " + std::to_string(mode) + ")";
}

std::string ElevationMeaning(uint8_t mode) {
    if (mode == 1) return "a silent run by a standard user asks for elevation (verb runas)";
    if (mode == 2) return "a silent run by a standard user gets /noadmin, as a non-silent one does";
    return "a non-silent run by a standard user gets /noadmin; a silent one gets nothing";
}

std::string ReleaseRangeText(uint16_t min, uint16_t max) {
    return std::to_string(min) + " to " + std::to_string(max) + (max >= 9999 ? " (no upper bound)" : "");
}
