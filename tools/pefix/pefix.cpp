// pefix: the post-link step of the launcher.  GNU ld puts the PE header at
// offset 128, where the package locator goes; this moves it to 256 in place
// and sets the image checksum again.
//
//   pefix IMAGE
#include <cstdio>
#include <fstream>
#include <iterator>

#include "PeImage.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: pefix IMAGE\nMoves the PE header of IMAGE to file offset 256.\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "pefix: cannot open %s\n", argv[1]);
        return 1;
    }
    std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    std::string error;
    if (!MovePeHeader(image, 256, error)) {
        std::fprintf(stderr, "pefix: %s: %s\n", argv[1], error.c_str());
        return 1;
    }
    // The linker's checksum was of the image before the move.
    StorePeChecksum(image);
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    if (!out) {
        std::fprintf(stderr, "pefix: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
