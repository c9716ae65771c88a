// What the POSIX and Windows sides of HostFiles share: an input read whole
// into memory, and the words for sizes and limits.
#pragma once
#include <new>
#include <vector>

#include "HostFiles.h"
#include "Options.h"

// An input read whole (a pipe or a device, which cannot be mapped).
class StreamedFile final : public InputFile {
public:
    StreamedFile(std::string path, std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {
        path_ = std::move(path);
        data_ = bytes_.data();
        size_ = bytes_.size();
    }

private:
    std::vector<uint8_t> bytes_;
};

inline std::string SizeText(uint64_t bytes) { return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes"); }

// "NAME is 3221225472 bytes; an engine must be smaller than 2 GiB", or
// "is more than N bytes" for an input read whole that went past the limit.
inline std::string TooLargeText(const std::string& name, uint64_t size, bool readPastLimit, uint64_t maxSize,
                                const std::string& reason) {
    return name + " is " + (readPastLimit ? "more than " + SizeText(maxSize) : SizeText(size)) +
           (reason.empty() ? std::string(": too large") : "; " + reason);
}

// Reads a pipe or device until it ends, but no further than maxSize.
// readSome(buffer, size) returns how many bytes it read, 0 at the end, and
// throws its own Failure when reading fails.
template <typename ReadSome>
std::vector<uint8_t> ReadToEnd(const std::string& name, uint64_t maxSize, const std::string& tooLarge,
                               ReadSome readSome) {
    std::vector<uint8_t> bytes;
    try {
        uint8_t buffer[1 << 16];
        for (;;) {
            const size_t n = readSome(buffer, sizeof buffer);
            if (n == 0) return bytes;
            if (bytes.size() + n > maxSize) throw Failure(TooLargeText(name, 0, true, maxSize, tooLarge));
            bytes.insert(bytes.end(), buffer, buffer + n);
        }
    } catch (const std::bad_alloc&) {
        throw Failure(name + ": out of memory after reading " + SizeText(bytes.size()) + " of it");
    }
}
