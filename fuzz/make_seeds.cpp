// Writes starting inputs for the fuzz targets: real packages from the
// package writer (both engines, one engine, refusal of 64-bit Windows,
// messages with %USER%, an end marker, minimumFileSize, engines and checked
// blocks beyond the launcher's 1 MiB pieces) and the pieces the narrower
// targets take.  Whole launcher runs start on machines that between them
// take the Windows gate down each of its ways, and in every situation
// (command line, place, trouble) the launcher target knows.  Usage:
// make_seeds <folder> [launcher images]; writes <folder>/<target>/<name> for
// the targets records, decoder, cmdline, launcher and resources.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "LauncherMachine.h"
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

    // Windows NT from NT 4 on, without the 9x family and without "later";
    // Windows 10 1809 to 21H1 and Windows 11 22H2 to 23H2: the service-pack
    // rule of Windows 2000 applies, and both release ranges have an upper
    // bound.
    PackageRecipe ntOnly = SoundRecipe();
    for (uint8_t& b : ntOnly.allowedWindows.bytes) b = 0;
    ntOnly.allowedWindows.bytes[0] = 0xF8;
    ntOnly.allowedWindows.bytes[1] = 0x0F;
    ntOnly.win10MinRelease = 1809;
    ntOnly.win10MaxRelease = 2104;
    ntOnly.win11MinRelease = 2209;
    ntOnly.win11MaxRelease = 2310;
    ntOnly.unsupportedWindowsMessage = u"Not on %USER%.";
    ntOnly.elevationMode = 2;
    list.push_back({"nt-only", ntOnly});

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

// Packages whose runs are slow (megabytes decoded or summed): a few seeds
// each, not one per machine.  Real engines are megabytes, so these are the
// paths every real package takes.
std::vector<Named> LargePackages() {
    std::vector<Named> list;
    // The held copy is compared in 1 MiB pieces, the last one short.
    PackageRecipe bigEngine = SoundRecipe();
    bigEngine.engine32 = PayloadInput{Bytes((1u << 20) + 1000, 0), {}, {}};
    bigEngine.engine64.reset();
    list.push_back({"big-engine", bigEngine});

    // A checked block over 1 MiB is read and summed in pieces, the last one
    // short.  Its data are zeros, which the input leaves to the zero tail.
    PackageRecipe bigBlock = SoundRecipe();
    bigBlock.engineData = Bytes(kZeroTail + 1000, 0);
    bigBlock.checkedDataBytes = static_cast<uint32_t>(bigBlock.engineData.size());
    list.push_back({"big-checked-block", bigBlock});
    return list;
}

Bytes Text(const std::u16string& text) { return RegistryString(text); }

Machine Windows(uint8_t major, uint8_t minor) {
    Machine m;
    m.major = major;
    m.minor = minor;
    return m;
}

// Windows 10 or 11 as its registry tells it; an empty text is a missing value.
Machine Windows10(const std::u16string& build, const std::u16string& display, const std::u16string& release) {
    Machine m = Windows(10, 0);
    if (!build.empty()) m.currentBuild = Text(build);
    if (!display.empty()) m.displayVersion = Text(display);
    if (!release.empty()) m.releaseId = Text(release);
    return m;
}

struct NamedMachine {
    std::string name;
    Machine machine;
};

// Each way through the Windows gate, given a package that allows everything,
// one that allows only Windows 10 21H2 on and Windows 11 up to 22H2
// (restricted-windows), and one that allows the NT family with bounded
// release ranges (nt-only).
std::vector<NamedMachine> WindowsMachines() {
    std::vector<NamedMachine> list;
    auto add = [&](const std::string& name, Machine m) { list.push_back({name, m}); };
    add("win10-22h2", Windows10(u"19045", u"22H2", u"2009"));
    add("win10-21h2", Windows10(u"19044", u"21H2", u"2009"));
    add("win10-21h1", Windows10(u"19043", u"21H1", u"2009"));
    add("win10-20h2", Windows10(u"19042", u"20H2", u"2009"));
    add("win10-2004", Windows10(u"19041", u"", u"2004"));
    add("win10-1909", Windows10(u"18363", u"", u"1909"));
    add("win10-1809", Windows10(u"17763", u"", u"1809"));
    add("win10-1507", Windows10(u"10240", u"", u""));
    add("win10-unknown-release", Windows10(u"18999", u"", u"2999"));
    add("win10-release-text", Windows10(u"18362", u"", u"19H1"));
    add("win10-future", Windows10(u"19046", u"23H2", u"2009"));
    add("win10-no-build", Windows10(u"", u"22H2", u"2009"));
    Machine noKey = Windows10(u"19045", u"22H2", u"2009");
    noKey.versionKeyFails = true;
    add("win10-no-key", noKey);
    // Values as a careless writer might leave them: no NUL, an odd byte count.
    Machine raw = Windows10(u"", u"", u"");
    raw.currentBuild = Bytes{'1', 0, '8', 0, '3', 0, '6', 0, '3', 0};
    raw.displayVersion = Bytes{'2', 0, '2', 0, 'H', 0, '2', 0, 'x'};
    raw.releaseId = Bytes{'1', 0, '9', 0, '0', 0, '9', 0};
    add("win10-raw-values", raw);
    add("win11-21h2", Windows10(u"22000", u"21H2", u""));
    add("win11-21h2-build", Windows10(u"22000", u"", u""));
    add("win11-22h2", Windows10(u"22621", u"22H2", u""));
    add("win11-22h2-build", Windows10(u"22621", u"", u""));
    add("win11-23h2", Windows10(u"22631", u"23H2", u""));
    add("win11-23h2-build", Windows10(u"22631", u"", u""));
    add("win11-23h2-preview", Windows10(u"22635", u"23H2", u""));
    add("win11-24h2", Windows10(u"26100", u"24H2", u""));
    Machine eleven = Windows10(u"22631", u"23H2", u"");
    eleven.major = 11;
    add("windows-11.0", eleven);
    add("windows-10.1", Windows(10, 1));
    add("windows-12.0", Windows(12, 0));
    add("windows-3.10", Windows(3, 10));
    Machine win95 = Windows(4, 0);
    win95.windows9x = true;
    add("win95", win95);
    Machine win98 = Windows(4, 10);
    win98.windows9x = true;
    add("win98", win98);
    Machine winMe = Windows(4, 90);
    winMe.windows9x = true;
    add("winme", winMe);
    add("nt4", Windows(4, 0));
    for (uint8_t servicePack : {0, 3, 4}) {
        Machine w2k = Windows(5, 0);
        w2k.servicePack = servicePack;
        add("win2000-sp" + std::to_string(servicePack), w2k);
    }
    Machine w2kUnknown = Windows(5, 0);
    w2kUnknown.servicePackQueryFails = true;
    add("win2000-sp-unknown", w2kUnknown);
    add("xp", Windows(5, 1));
    add("xp-x64", Windows(5, 2));
    add("vista", Windows(6, 0));
    add("win7", Windows(6, 1));
    add("win8", Windows(6, 2));
    add("win81", Windows(6, 3));
    add("windows-6.4", Windows(6, 4));
    Machine unknown;
    unknown.versionQueryFails = true;
    add("version-unknown", unknown);
    return list;
}

// The rest of the machine on Windows 10 22H2, one thing at a time.
std::vector<NamedMachine> SituationMachines() {
    std::vector<NamedMachine> list;
    const Machine base = Windows10(u"19045", u"22H2", u"2009");
    for (uint8_t line = 0; line < 8; ++line)
        for (bool administrator : {false, true}) {
            Machine m = base;
            m.commandLine = line;
            m.administrator = administrator;
            list.push_back({"cmdline" + std::to_string(line) + (administrator ? "-admin" : ""), m});
        }
    for (uint8_t trouble = 1; trouble < 8; ++trouble) {
        Machine m = base;
        m.trouble = static_cast<Trouble>(trouble);
        list.push_back({"trouble" + std::to_string(trouble), m});
    }
    Machine appends = base;
    appends.trouble = Trouble::kCopyChangedBeforeHold;
    appends.changeAppends = true;
    list.push_back({"trouble7-appends", appends});
    for (uint8_t place = 1; place < 4; ++place) {
        Machine m = base;
        m.place = static_cast<Place>(place);
        m.commandLine = 4;  // /temp last: the copy goes next to the launcher
        list.push_back({"place" + std::to_string(place), m});
    }
    Machine noProcess = base;
    noProcess.shellGivesNoProcess = true;
    list.push_back({"shell-no-process", noProcess});
    Machine noTemp = base;
    noTemp.noTempPath = true;
    list.push_back({"no-temp-path", noTemp});
    Machine bits32 = base;
    bits32.wow64 = false;
    list.push_back({"32-bit-windows", bits32});
    // The run's own folder and who watches.
    for (int bit = 0; bit < 6; ++bit) {
        Machine m = base;
        bool* flags[] = {&m.hiddenWindowStation, &m.randomFails, &m.userSidFails,
                         &m.folderCreationFails, &m.firstRunFolderTaken, &m.copyNameTakenInARace};
        *flags[bit] = true;
        list.push_back({"run-folder" + std::to_string(bit), m});
    }
    return list;
}

Bytes LauncherInput(const Machine& machine, const Bytes& file) {
    Bytes input = EncodeMachine(machine);
    input.insert(input.end(), file.begin(), file.end());
    return input;
}

}  // namespace

// resources: real launcher images (when named on the command line) to read
// and to rewrite, and small .ico files.
void WriteResourceSeeds(int argc, char** argv) {
    for (int i = 2; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        const Bytes image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (image.empty()) continue;
        for (uint8_t mode : {1, 2}) {
            Bytes seed = {mode};
            seed.insert(seed.end(), image.begin(), image.end());
            Write("resources", fs::path(argv[i]).filename().string() + "-" + std::to_string(mode), seed);
        }
    }
    // An .ico with one 16x16 32-bit bitmap and one 32x32 4-bit one.
    auto entry = [](Bytes& ico, uint8_t side, uint16_t bits, uint32_t size, uint32_t offset) {
        ico.insert(ico.end(), {side, side, static_cast<uint8_t>(bits == 4 ? 16 : 0), 0, 1, 0,
                               static_cast<uint8_t>(bits), 0});
        PutU32(ico, size);
        PutU32(ico, offset);
    };
    auto bitmap = [](uint32_t side, uint16_t bits) {
        Bytes dib;
        PutU32(dib, 40);
        PutU32(dib, side);
        PutU32(dib, side * 2);
        dib.insert(dib.end(), {1, 0, static_cast<uint8_t>(bits), 0});
        dib.resize(40, 0);
        const uint32_t palette = bits == 4 ? 16 * 4 : 0;
        const uint32_t rowBytes = (side * bits + 31) / 32 * 4, maskRow = (side + 31) / 32 * 4;
        dib.resize(40 + palette + rowBytes * side + maskRow * side, 0x33);
        return dib;
    };
    const Bytes small = bitmap(16, 32), large = bitmap(32, 4);
    Bytes ico = {0, 0, 1, 0, 2, 0};
    entry(ico, 16, 32, static_cast<uint32_t>(small.size()), 6 + 32);
    entry(ico, 32, 4, static_cast<uint32_t>(large.size()), static_cast<uint32_t>(6 + 32 + small.size()));
    ico.insert(ico.end(), small.begin(), small.end());
    ico.insert(ico.end(), large.begin(), large.end());
    Bytes seed = {0};
    seed.insert(seed.end(), ico.begin(), ico.end());
    Write("resources", "two-images.ico", seed);
}

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: make_seeds <folder> [launcher images for the resources target...]\n");
        return 2;
    }
    root = argv[1];
    try {
        for (const Named& n : Packages()) {
            PackageLayout layout;
            const Bytes file = BuildPackage(n.contents, &layout);

            // launcher: the machine, then the package file.  Packages that
            // judge Windows differently meet every Windows; the sound one
            // meets every situation; the rest a few machines.
            const bool judges = n.name == "both-engines" || n.name == "restricted-windows" || n.name == "nt-only";
            if (judges)
                for (const NamedMachine& m : WindowsMachines())
                    Write("launcher", n.name + "-" + m.name, LauncherInput(m.machine, file));
            if (n.name == "both-engines") {
                for (const NamedMachine& m : SituationMachines())
                    Write("launcher", n.name + "-" + m.name, LauncherInput(m.machine, file));
                // A changed byte in the checked block, and the checksum kept.
                Machine keep = Windows10(u"19045", u"22H2", u"2009");
                keep.keepCrc = true;
                Bytes damaged = file;
                damaged[layout.packageOffset + 30] ^= 1;
                Write("launcher", n.name + "-crc-mismatch", LauncherInput(keep, damaged));
            } else {
                // Silent, by a standard user: the elevation modes decide.
                Machine silent = Windows10(u"19045", u"22H2", u"2009");
                silent.commandLine = 2;
                Machine direct = Windows(6, 1);
                direct.administrator = true;
                direct.commandLine = 1;
                Machine bits32 = Windows(5, 1);
                bits32.wow64 = false;
                for (const NamedMachine& m : {NamedMachine{"silent", silent}, NamedMachine{"win7-admin-32", direct},
                                              NamedMachine{"xp-32-bit", bits32}})
                    Write("launcher", n.name + "-" + m.name, LauncherInput(m.machine, file));
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

        for (const Named& n : LargePackages()) {
            Machine m = Windows10(u"19045", u"22H2", u"2009");
            Bytes file = BuildPackage(n.contents);
            // The zeros at the end come back from the machine bytes, so
            // that the input stays below libFuzzer's 1 MiB.
            size_t zeros = 0;
            while (zeros < file.size() && file[file.size() - 1 - zeros] == 0) ++zeros;
            if (zeros >= kZeroTail) {
                file.resize(file.size() - kZeroTail);
                m.zeroTail = true;
            }
            Write("launcher", n.name, LauncherInput(m, file));
        }

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

        WriteResourceSeeds(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_seeds: %s\n", e.what());
        return 1;
    }
    std::printf("make_seeds: %d inputs in %s\n", written, root.string().c_str());
    return 0;
}
