// What the POSIX and Windows sides of HostFiles share: an input read whole
// into memory, and the words for sizes and limits.
#pragma once
#include <vector>

#include "HostFiles.h"

// An input read whole (a pipe or a device, which cannot be mapped).
class StreamedFile final : public InputFile {
public:
    StreamedFile(std::string path, FileId id, std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {
        path_ = std::move(path);
        id_ = id;
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
