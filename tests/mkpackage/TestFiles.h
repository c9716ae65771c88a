// Files the command-line tests work on: sparse files, hand-set locators and
// headers, a small icon, and snapshots of a folder.
#pragma once
#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <string>

#include "CliRunner.h"

namespace mk {

// Far below the sizes of the huge files here.  A child's peak counts the
// test process's pages it held between fork and exec, a few MiB.
constexpr uint64_t kSmallPeak = 64u << 20;

inline const std::string kStub64 = STUB64_PATH;

// An i386 program as compilers lay it out: its PE header at 128, over the
// bytes where a package's locator would be.
inline std::string ProgramWithPeHeaderAt128() {
    return (fs::path(STUB32_PATH).parent_path() / "tests" / "engines" / "report-engine.exe").string();
}

// A file of size bytes that starts with head and takes no room on disk
// beyond it.
inline void MakeSparse(const std::string& path, uint64_t size, const Bytes& head = {}) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, head.data(), head.size()), static_cast<ssize_t>(head.size()));
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0) << path;
    close(fd);
}

inline void SetLocator(Bytes& file, const PackageLocator& l) {
    uint8_t raw[kLocatorSize];
    SerializeLocator(l, raw);
    std::copy(raw, raw + kLocatorSize, file.begin() + kLocatorOffset);
}

inline void SetHeader(Bytes& file, const PackageHeader& h) {
    uint8_t raw[kHeaderSize];
    SerializeHeader(h, raw);
    std::copy(raw, raw + kHeaderSize, file.begin() + LocatorOf(file).packageOffset);
}

// A one-image icon file: 16x16, 32 bits per pixel, with its mask.
inline Bytes SmallIcon() {
    Bytes f = {0, 0, 1, 0, 1, 0, 16, 16, 0, 0, 1, 0, 32, 0};
    const uint32_t size = 40 + 16 * 16 * 4 + 16 * 4, offset = 22;
    for (uint32_t v : {size, offset})
        for (int i = 0; i < 4; ++i) f.push_back(static_cast<uint8_t>(v >> (8 * i)));
    // BITMAPINFOHEADER: its size, width, height of image and mask, one
    // plane, 32 bits per pixel, no compression, no palette; then pixels.
    const uint8_t header[16] = {40, 0, 0, 0, 16, 0, 0, 0, 32, 0, 0, 0, 1, 0, 32, 0};
    f.insert(f.end(), header, header + 16);
    f.resize(f.size() + 24, 0);
    f.resize(f.size() + size - 40, 0x40);
    return f;
}

// Every file in a folder with its bytes; symbolic links are followed.
inline std::map<std::string, Bytes> Snapshot(const fs::path& dir) {
    std::map<std::string, Bytes> files;
    for (const auto& e : fs::directory_iterator(dir)) files[e.path().filename().string()] = ReadBytes(e.path());
    return files;
}

}  // namespace mk
