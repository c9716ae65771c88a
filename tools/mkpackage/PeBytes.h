// What the resource code shares: refusals that carry their reason, bounded
// little-endian reads and writes, and a PE image seen by RVA.  Only the
// resource code's own files include it.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "IcoFile.h"
#include "PackageWriter.h"
#include "PeImage.h"

namespace pe_bytes {

// Thrown where input turns out unusable; every public function catches it
// and hands its message back as the reason, so parsing code reads straight.
class Refusal : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void Refuse(const std::string& why) { throw Refusal(why); }

template <class F>
bool Guarded(std::string& error, F f) {
    try {
        f();
        return true;
    } catch (const Refusal& e) {
        error = e.what();
    } catch (const PackageError& e) {  // the UTF-8 conversion's
        error = e.what();
    } catch (const std::bad_alloc&) {
        error = "out of memory";
    }
    return false;
}

inline std::string Hex(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
    return buf;
}

inline std::string Num(uint64_t v) { return std::to_string(v); }

inline uint64_t AlignUp(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }

// Little-endian reads that refuse, naming what they read, instead of
// running past the end.
class Reader {
public:
    Reader(const uint8_t* data, size_t size, std::string what) : data_(data), size_(size), what_(std::move(what)) {}

    void Need(uint64_t at, uint64_t n) const {
        if (at > size_ || size_ - at < n) Refuse(what_ + " is truncated");
    }
    uint8_t U8(uint64_t at) const {
        Need(at, 1);
        return data_[at];
    }
    uint16_t U16(uint64_t at) const {
        Need(at, 2);
        return static_cast<uint16_t>(data_[at] | data_[at + 1] << 8);
    }
    uint32_t U32(uint64_t at) const {
        Need(at, 4);
        return static_cast<uint32_t>(data_[at] | data_[at + 1] << 8 | data_[at + 2] << 16) |
               static_cast<uint32_t>(data_[at + 3]) << 24;
    }
    uint64_t U64(uint64_t at) const { return U32(at) | static_cast<uint64_t>(U32(at + 4)) << 32; }
    uint32_t BigU32(uint64_t at) const {
        Need(at, 4);
        return static_cast<uint32_t>(data_[at]) << 24 | static_cast<uint32_t>(data_[at + 1] << 16 | data_[at + 2] << 8 | data_[at + 3]);
    }
    Bytes Slice(uint64_t at, uint64_t n) const {
        Need(at, n);
        return Bytes(data_ + at, data_ + at + n);
    }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

private:
    const uint8_t* data_;
    size_t size_;
    std::string what_;
};

inline void Put16(Bytes& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void Append16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void Append32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void PadTo(Bytes& b, size_t alignment) { b.resize(AlignUp(b.size(), alignment), 0); }

inline std::u16string ReadUtf16(const Reader& r, uint64_t at, uint64_t units) {
    r.Need(at, 2 * units);
    std::u16string s;
    for (uint64_t i = 0; i < units; ++i) s += static_cast<char16_t>(r.U16(at + 2 * i));
    return s;
}

// What an .ico file's directory entry and an icon group's entry begin
// with, at e.
inline IconFormat ReadIconFormat(const Reader& r, uint64_t e) {
    IconFormat format;
    format.width = r.U8(e) ? r.U8(e) : 256;
    format.height = r.U8(e + 1) ? r.U8(e + 1) : 256;
    format.colorCount = r.U8(e + 2);
    format.planes = r.U16(e + 4);
    format.bitCount = r.U16(e + 6);
    return format;
}

// Where the resource directory is among the data directories.
constexpr size_t kResourceDirectory = 2;

inline PeInfo ParseOrRefuse(const Bytes& image) {
    PeInfo info;
    std::string error;
    if (!ParsePe(image, info, error)) Refuse(error);
    return info;
}

// A section-relative view of an image for RVAs.  The image may be a view
// of a mapped file, gigabytes of which follow it.
class ImageView {
public:
    ImageView(const uint8_t* image, size_t size, const PeInfo& info) : image_(image), size_(size), info_(info) {}
    ImageView(const Bytes& image, const PeInfo& info) : ImageView(image.data(), image.size(), info) {}

    // The file offset of n bytes at rva, all inside one section's raw data.
    uint64_t Offset(uint64_t rva, uint64_t n, const std::string& what) const {
        for (const PeSection& s : info_.sections) {
            const uint64_t span = std::max(s.virtualSize, s.rawSize);
            if (rva < s.virtualAddress || rva >= s.virtualAddress + span) continue;
            const uint64_t delta = rva - s.virtualAddress;
            if (delta + n > s.rawSize || s.rawOffset + delta + n > size_)
                Refuse(what + " at RVA " + Hex(rva) + " lies outside the data of section " + s.name);
            return s.rawOffset + delta;
        }
        Refuse(what + " at RVA " + Hex(rva) + " lies in no section");
    }
    // The rest of the section's raw data from rva on, for a structure of unknown size.
    Reader From(uint64_t rva, const std::string& what) const {
        const uint64_t at = Offset(rva, 1, what);
        for (const PeSection& s : info_.sections)
            if (at >= s.rawOffset && at < static_cast<uint64_t>(s.rawOffset) + s.rawSize)
                return Reader(image_ + at, std::min<uint64_t>(static_cast<uint64_t>(s.rawOffset) + s.rawSize, size_) - at, what);
        Refuse(what + " lies in no section");
    }
    Bytes Read(uint64_t rva, uint64_t n, const std::string& what) const {
        const uint64_t at = Offset(rva, n, what);
        return Bytes(image_ + at, image_ + at + n);
    }
    size_t size() const { return size_; }

private:
    const uint8_t* image_;
    size_t size_;
    const PeInfo& info_;
};

}  // namespace pe_bytes
