// Writes starting inputs for the fuzz targets: real packages from the
// package writer (both engines, one engine, refusal of 64-bit Windows,
// messages with %USER%, an end marker, minimumFileSize) and the pieces the
// narrower targets take.  Usage: make_seeds <folder>; writes
// <folder>/<target>/<name> for the targets records, decoder, cmdline and
// launcher.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "PackageWriter.h"
#include "TestPackages.h"

namespace fs = std::filesystem;

namespace {

fs::path root;
int written = 0;

void Write(const std::string& target, const std::string& name, const Bytes& bytes) {
    const fs::path folder = root / target;
    fs::create_directories(folder);
    std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + (folder / name).string());
    ++written;
}

void PutU32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

Bytes Utf16(const std::u16string& text) {
    Bytes b;
    for (char16_t c : text) {
        b.push_back(static_cast<uint8_t>(c));
        b.push_back(static_cast<uint8_t>(c >> 8));
    }
    return b;
}

struct Named {
    std::string name;
    PackageRecipe contents;
};

std::vector<Named> Packages() {
    std::vector<Named> list;
    list.push_back({"both-engines", SoundRecipe()});

    PackageRecipe only32 = SoundRecipe();
    only32.engine64.reset();
    list.push_back({"only-32", only32});

    PackageRecipe only64 = SoundRecipe();
    only64.engine32.reset();
    list.push_back({"only-64", only64});

    PackageRecipe refuse64 = SoundRecipe();
    refuse64.engine64.reset();
    refuse64.refuse64BitWindows = true;
    list.push_back({"refuse-64", refuse64});

    // Windows 10 from 21H2 and Windows 11 only: Windows 7, XP and older
    // Windows 10 releases get the message with the version's name.
    PackageRecipe restricted = SoundRecipe();
    for (uint8_t& b : restricted.allowedWindows.bytes) b = 0;
    restricted.allowedWindows.bytes[1] = 0x0C;
    restricted.win10MinRelease = 2111;
    restricted.win11MaxRelease = 2210;
    restricted.unsupportedWindowsMessage = u"%USER% is not supported; %user% needs an update.";
    restricted.elevationMode = 1;
    list.push_back({"restricted-windows", restricted});

    PackageRecipe marker = SoundRecipe();
    marker.lzma.endMarker = true;
    marker.elevationMode = 2;
    list.push_back({"end-marker", marker});

    PackageRecipe minimum = SoundRecipe();
    minimum.minimumFileSize = 2000;
    list.push_back({"minimum-file-size", minimum});

    PackageRecipe small = SoundRecipe();
    small.engine32 = PayloadInput{EngineBytes(200, 7), {}, {}};
    small.engine64 = PayloadInput{Bytes(), {}, {}};
    small.lzma.dictionarySize = 4096;
    small.lzma.lc = 0;
    small.lzma.pb = 0;
    small.wrongWidthMessage.clear();
    small.engineData.clear();
    small.checkedDataBytes = 0;
    list.push_back({"small-settings", small});
    return list;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds <folder>\n");
        return 2;
    }
    root = argv[1];
    try {
        for (const Named& n : Packages()) {
            PackageLayout layout;
            const Bytes file = BuildPackage(n.contents, &layout);

            // launcher: a facts byte, then the package file.  A few fact
            // combinations per package; the fuzzer mutates the rest.
            for (uint8_t facts : {0x01, 0x00, 0x12, 0x27, 0x3B, 0x41, 0x83, 0xC1}) {
                Bytes input{facts};
                input.insert(input.end(), file.begin(), file.end());
                char name[80];
                std::snprintf(name, sizeof name, "%s-%02x", n.name.c_str(), facts);
                Write("launcher", name, input);
            }

            // records: the locator and the header as the launcher reads them.
            Bytes records(file.begin() + kLocatorOffset, file.begin() + kLocatorOffset + kLocatorSize);
            records.insert(records.end(), file.begin() + layout.packageOffset,
                           file.begin() + layout.packageOffset + kHeaderSize);
            Write("records", n.name, records);

            // decoder: properties, unpacked size and stream of each engine.
            for (const PayloadEntry& e : {layout.header.engine32, layout.header.engine64}) {
                if (e.offset == 0 || e.offset == kRefuse64BitWindows) continue;
                Bytes input(file.begin() + layout.packageOffset, file.begin() + layout.packageOffset + 5);
                PutU32(input, e.unpackedSize);
                input.insert(input.end(), file.begin() + e.offset, file.begin() + e.offset + e.packedSize);
                Write("decoder", n.name + "-" + std::to_string(e.offset), input);
            }
        }
        Write("records", "crc-check-value", Bytes{'1', '2', '3', '4', '5', '6', '7', '8', '9'});

        // decoder: other settings, including the widest liblzma accepts.
        struct Setting {
            uint32_t lc, lp, pb, dictionary;
            bool marker;
            size_t size;
        };
        for (const Setting& s : {Setting{3, 0, 2, 1u << 16, false, 20000}, Setting{0, 4, 4, 4096, true, 5000},
                                 Setting{4, 0, 0, 4096, false, 3000}, Setting{1, 3, 1, 1u << 20, true, 0}}) {
            LzmaSettings settings;
            settings.lc = s.lc;
            settings.lp = s.lp;
            settings.pb = s.pb;
            settings.dictionarySize = s.dictionary;
            settings.endMarker = s.marker;
            const Bytes engine = EngineBytes(s.size, s.lc + 10 * s.pb);
            const Bytes packed = CompressLzma1(engine, settings);
            uint8_t properties[5];
            EncodeProperties(settings, properties);
            Bytes input(properties, properties + 5);
            PutU32(input, static_cast<uint32_t>(engine.size()));
            input.insert(input.end(), packed.begin(), packed.end());
            char name[80];
            std::snprintf(name, sizeof name, "lc%u-lp%u-pb%u-dict%u-%s", s.lc, s.lp, s.pb, s.dictionary,
                          s.marker ? "marker" : "nomarker");
            Write("decoder", name, input);
        }

        // cmdline: the interesting shapes of a Windows command line.
        const std::u16string lines[] = {
            u"setup.exe /silent \"/temp\" \"C:\\My Temp\" \"\" x\"y z\"",
            u"\"C:\\Program Files\\setup.exe\"",
            u"setup.exe a\"\"b \"unterminated",
            u"setup.exe\t/S /TEMP D:\\t\\ /32 /temp2 /tempo",
            u"  \"\"  setup.exe /temp A /temp B /temp",
            u"setup.exe \"a\tb\" c\td \x00e9t\x00e9 \xd83d\xde00 \"",
        };
        int index = 0;
        for (const std::u16string& line : lines) Write("cmdline", "line" + std::to_string(index++), Utf16(line));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_seeds: %s\n", e.what());
        return 1;
    }
    std::printf("make_seeds: %d inputs in %s\n", written, root.string().c_str());
    return 0;
}
