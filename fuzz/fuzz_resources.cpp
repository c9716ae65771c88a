// mkpackage's resource step on hostile bytes: .ico files vendors hand over,
// and the resource sections of the packages `inspect` is asked about, which
// may come from anywhere.  The first byte chooses:
//   0  the rest is an .ico file: parsed, and when it parses, every image
//      within the limits an icon can have;
//   1  the rest is an image: its resources read;
//   2  the rest is an image: an icon and version information written into
//      it.  Refused, it stays as it was; written, it is still a PE image
//      with nothing after its last section, and reads back what was written.
#include <cstring>

#include "FuzzCheck.h"
#include "PeImage.h"
#include "ResourceSection.h"

namespace {

// A 16x16 32-bit bitmap icon: BITMAPINFOHEADER (height doubled for the
// mask), the colours, then the AND mask.
IconImage SmallIcon() {
    IconImage icon;
    icon.width = icon.height = 16;
    icon.planes = 1;
    icon.bitCount = 32;
    icon.data.assign(40 + 16 * 16 * 4 + 16 * 4, 0x7F);
    const uint32_t fields[] = {40, 16, 32};
    for (int i = 0; i < 3; ++i) StoreU32(icon.data.data() + 4 * i, fields[i]);
    icon.data[12] = 1;   // planes
    icon.data[14] = 32;  // bit count
    std::memset(icon.data.data() + 16, 0, 24);
    return icon;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const Bytes input(data + 1, data + size);
    std::string error;
    switch (data[0] % 3) {
        case 0: {
            std::vector<IconImage> images;
            if (ParseIco(input, images, error)) {
                FUZZ_CHECK(!images.empty());
                for (const IconImage& image : images) {
                    FUZZ_CHECK(image.width >= 1 && image.width <= 256);
                    FUZZ_CHECK(image.height >= 1 && image.height <= 256);
                    FUZZ_CHECK(!image.data.empty() && image.data.size() < input.size());
                }
            } else {
                FUZZ_CHECK(!error.empty());
            }
            break;
        }
        case 1: {
            ResourceReport report;
            if (!ReadResources(input, report, error)) FUZZ_CHECK(!error.empty());
            break;
        }
        default: {
            Bytes image = input;
            ResourceUpdate update;
            update.icon = std::vector<IconImage>{SmallIcon()};
            update.version = VersionStrings{{"CompanyName", "Fuzz"}, {"FileVersion", "1.2.3.4"}};
            if (!UpdateResources(image, update, error)) {
                FUZZ_CHECK(image == input);
                break;
            }
            PeInfo info;
            FUZZ_CHECK(ParsePe(image, info, error));
            FUZZ_CHECK(info.imageEnd == image.size());
            ResourceReport report;
            FUZZ_CHECK(ReadResources(image, report, error));
            FUZZ_CHECK(report.version && report.version->hasFixedInfo);
            FUZZ_CHECK(FormatFixedVersion(report.version->fileVersionMS, report.version->fileVersionLS) == "1.2.3.4");
            FUZZ_CHECK(report.mainIcon && report.mainIcon->images.size() == 1);
            // Rewriting a rewritten image works as well.
            Bytes again = image;
            FUZZ_CHECK(UpdateResources(again, update, error));
            break;
        }
    }
    return 0;
}
