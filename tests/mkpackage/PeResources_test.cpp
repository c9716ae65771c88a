// The resource code: .ico parsing, version resources, rewriting the real
// launchers' resource sections, the PE checksum, and reading back.  What the
// writer produces is read back with tools written without it: Debian's
// pefile and icoutils' wrestool.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "CRC32/CRC32.h"
#include "CliRunner.h"
#include "PeImage.h"
#include "ResourceSection.h"

using namespace mk;

namespace {

// ---------------------------------------------------------------------------
// Fixtures: icon images and .ico files made here, byte by byte

void Le16(Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void Le32(Bytes& b, uint32_t v) {
    Le16(b, v & 0xFFFF);
    Le16(b, v >> 16);
}
void Be32(Bytes& b, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<uint8_t>(v >> shift));
}
void Set16(Bytes& b, size_t at, uint32_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Set32(Bytes& b, size_t at, uint32_t v) {
    Set16(b, at, v & 0xFFFF);
    Set16(b, at + 2, v >> 16);
}
uint32_t Get32(const Bytes& b, size_t at) { return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24; }

// A bitmap icon image: header, palette, colour pixels, transparency mask.
IconImage Dib(uint32_t width, uint32_t height, uint16_t bitCount, uint8_t seed = 1) {
    IconImage image;
    image.width = width;
    image.height = height;
    image.planes = 1;
    image.bitCount = bitCount;
    image.colorCount = bitCount < 8 ? static_cast<uint8_t>(1u << bitCount) : 0;
    Bytes& b = image.data;
    for (uint32_t v : {40u, width, 2 * height}) Le32(b, v);
    Le16(b, 1);
    Le16(b, bitCount);
    for (int i = 0; i < 6; ++i) Le32(b, 0);
    if (bitCount <= 8)
        for (uint32_t i = 0; i < (1u << bitCount); ++i) Le32(b, i * 0x010203u);
    const uint32_t xorStride = (width * bitCount + 31) / 32 * 4, andStride = (width + 31) / 32 * 4;
    for (uint32_t i = 0; i < xorStride * height; ++i) b.push_back(static_cast<uint8_t>(i * 7 + seed));
    for (uint32_t i = 0; i < andStride * height; ++i) b.push_back(static_cast<uint8_t>(i & 1 ? 0 : 0xF0));
    return image;
}

void PngChunk(Bytes& png, const char* type, const Bytes& data) {
    Be32(png, static_cast<uint32_t>(data.size()));
    Bytes typed(type, type + 4);
    typed.insert(typed.end(), data.begin(), data.end());
    png.insert(png.end(), typed.begin(), typed.end());
    Be32(png, Crc32Update(0, typed.data(), static_cast<uint32_t>(typed.size())));
}

// A real RGBA PNG, its zlib stream made of stored blocks.
IconImage Png(uint32_t width, uint32_t height, uint8_t seed = 3) {
    Bytes raw;
    for (uint32_t y = 0; y < height; ++y) {
        raw.push_back(0);  // no filter
        for (uint32_t x = 0; x < width; ++x)
            for (uint32_t c = 0; c < 4; ++c) raw.push_back(static_cast<uint8_t>(x * 3 + y * 5 + c * 64 + seed));
    }
    Bytes zlib = {0x78, 0x01};
    for (size_t at = 0; at < raw.size(); at += 65535) {
        const size_t n = std::min<size_t>(65535, raw.size() - at);
        zlib.push_back(at + n == raw.size() ? 1 : 0);
        Le16(zlib, static_cast<uint32_t>(n));
        Le16(zlib, static_cast<uint32_t>(~n & 0xFFFF));
        zlib.insert(zlib.end(), raw.begin() + at, raw.begin() + at + n);
    }
    uint32_t a = 1, b = 0;
    for (uint8_t c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    Be32(zlib, b << 16 | a);
    IconImage image;
    image.width = width;
    image.height = height;
    image.planes = 1;
    image.bitCount = 32;
    image.png = true;
    Bytes& png = image.data;
    png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Bytes ihdr;
    Be32(ihdr, width);
    Be32(ihdr, height);
    for (uint8_t v : {8, 6, 0, 0, 0}) ihdr.push_back(v);  // 8-bit RGBA
    PngChunk(png, "IHDR", ihdr);
    PngChunk(png, "IDAT", zlib);
    PngChunk(png, "IEND", {});
    return image;
}

// The chunks of a PNG file, each as its type and data.
using PngChunks = std::vector<std::pair<std::string, Bytes>>;

// A PNG image's chunks changed as the test says, then written back with
// every length and CRC right, so that only the change is wrong.
IconImage Rechunked(IconImage image, const std::function<void(PngChunks&)>& change) {
    PngChunks chunks;
    for (size_t at = 8; at + 12 <= image.data.size();) {
        const uint32_t length = image.data[at] << 24 | image.data[at + 1] << 16 | image.data[at + 2] << 8 | image.data[at + 3];
        chunks.emplace_back(std::string(image.data.begin() + at + 4, image.data.begin() + at + 8),
                            Bytes(image.data.begin() + at + 8, image.data.begin() + at + 8 + length));
        at += 12 + length;
    }
    change(chunks);
    image.data.resize(8);
    for (const auto& [type, data] : chunks) PngChunk(image.data, type.c_str(), data);
    return image;
}

// The chunk of that type; the test fails when there is none.
Bytes& ChunkOf(PngChunks& chunks, const char* type) {
    for (auto& [name, data] : chunks)
        if (name == type) return data;
    ADD_FAILURE() << "no " << type << " chunk";
    static Bytes none;
    return none;
}

// An .ico file as icon editors write it: directory, then the images in order.
Bytes Ico(const std::vector<IconImage>& images) {
    Bytes f;
    Le16(f, 0);
    Le16(f, 1);
    Le16(f, static_cast<uint32_t>(images.size()));
    uint32_t offset = 6 + 16 * static_cast<uint32_t>(images.size());
    for (const IconImage& i : images) {
        f.push_back(static_cast<uint8_t>(i.width % 256));
        f.push_back(static_cast<uint8_t>(i.height % 256));
        f.push_back(i.colorCount);
        f.push_back(0);
        Le16(f, i.planes);
        Le16(f, i.bitCount);
        Le32(f, static_cast<uint32_t>(i.data.size()));
        Le32(f, offset);
        offset += static_cast<uint32_t>(i.data.size());
    }
    for (const IconImage& i : images) f.insert(f.end(), i.data.begin(), i.data.end());
    return f;
}

std::vector<IconImage> ThreeImages() { return {Dib(16, 16, 32), Dib(32, 32, 4), Png(256, 256)}; }

// pefile 2023.2.7 reads a surrogate pair as two escaped halves, so text
// outside the BMP is checked apart from it.
const VersionStrings kAllKeys = {
    {"CompanyName", "\xC3\x84" "cme Corp."},
    {"FileDescription", "Widget setup \xE2\x9C\x93"},
    {"FileVersion", "1.2.3.4"},
    {"ProductName", "Widget"},
    {"ProductVersion", "5.6"},
    {"LegalCopyright", "\xC2\xA9 2026 Acme"},
    {"OriginalFilename", "setup.exe"},
    {"InternalName", "setup"},
    {"Comments", ""},
};

// ---------------------------------------------------------------------------
// Running the independent readers

struct Stub {
    const char* name;
    const char* path;
};
const Stub kStubs[] = {{"stub32", STUB32_PATH}, {"stub64", STUB64_PATH}};
void PrintTo(const Stub& stub, std::ostream* out) { *out << stub.name; }

// Prints what pefile sees, one fact a line, fields separated by tabs.
const char* const kPefileScript = R"PY(
import sys, pefile

def align(v, a):
    return (v + a - 1) // a * a

def name_of(entry):
    return 'name:' + str(entry.name) if entry.name is not None else str(entry.id)

def leaves(pe):
    out = []
    if not hasattr(pe, 'DIRECTORY_ENTRY_RESOURCE'):
        return out
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for n in t.directory.entries:
            for l in n.directory.entries:
                d = l.data.struct
                out.append((name_of(t), name_of(n), l.id, d.Size, d.CodePage, d.OffsetToData,
                            d.get_file_offset(), pe.get_data(d.OffsetToData, d.Size)))
    return out

def relocations(pe):
    out = []
    for block in getattr(pe, 'DIRECTORY_ENTRY_BASERELOC', []):
        for e in block.entries:
            if e.type != 0:
                out.append((e.rva, e.type, pe.get_data(e.rva, 8 if e.type == 10 else 4)))
    return out

def imports(pe):
    return [(i.dll, [(f.name, f.ordinal, f.address) for f in i.imports]) for i in pe.DIRECTORY_ENTRY_IMPORT]

mode = sys.argv[1]
if mode == 'tree':
    pe = pefile.PE(sys.argv[2])
    root = pe.DIRECTORY_ENTRY_RESOURCE
    print('dir', 'root', root.struct.NumberOfNamedEntries, root.struct.NumberOfIdEntries, sep='\t')
    for t in root.entries:
        s = t.directory.struct
        print('dir', name_of(t), s.NumberOfNamedEntries, s.NumberOfIdEntries, sep='\t')
    for (t, n, lang, size, cp, rva, entry_at, data) in leaves(pe):
        print('leaf', t, n, lang, size, cp, rva % 8, entry_at % 4, data.hex(), sep='\t')
elif mode == 'checksum':
    pe = pefile.PE(sys.argv[2])
    print('checksum', pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum(), sep='\t')
elif mode == 'check':
    old, new = pefile.PE(sys.argv[2]), pefile.PE(sys.argv[3])
    data = open(sys.argv[3], 'rb').read()
    oh, nh = old.OPTIONAL_HEADER, new.OPTIONAL_HEADER
    for w in new.get_warnings():
        print('warning', w, sep='\t')
    print('e_lfanew', new.DOS_HEADER.e_lfanew, sep='\t')
    print('locator bytes zero', int(data[128:152] == bytes(24)), sep='\t')
    print('DOS stub same', int(old.__data__[64:128] == data[64:128]), sep='\t')
    end = max(s.PointerToRawData + s.SizeOfRawData for s in new.sections)
    print('bytes after last section', len(data) - end, sep='\t')
    print('checksum right', int(nh.CheckSum == new.generate_checksum()), sep='\t')
    for field in ('DllCharacteristics', 'AddressOfEntryPoint', 'ImageBase', 'FileAlignment', 'SectionAlignment',
                  'SizeOfHeaders', 'Subsystem', 'SizeOfCode'):
        print(field + ' same', int(getattr(oh, field) == getattr(nh, field)), sep='\t')
    rsrc_va = oh.DATA_DIRECTORY[2].VirtualAddress
    before_same = all(o.get_data() == n.get_data() and o.VirtualAddress == n.VirtualAddress and
                      o.PointerToRawData == n.PointerToRawData and o.Name == n.Name
                      for o, n in zip(old.sections, new.sections) if o.VirtualAddress < rsrc_va)
    print('sections before resources same', int(before_same), sep='\t')
    ok = True
    for a, b in zip(new.sections, new.sections[1:]):
        ok &= b.VirtualAddress == align(a.VirtualAddress + max(a.Misc_VirtualSize, a.SizeOfRawData), nh.SectionAlignment)
        ok &= b.PointerToRawData == a.PointerToRawData + a.SizeOfRawData
    for s in new.sections:
        ok &= s.PointerToRawData % nh.FileAlignment == 0 and s.SizeOfRawData % nh.FileAlignment == 0
    print('sections contiguous', int(ok and len(old.sections) == len(new.sections)), sep='\t')
    last = new.sections[-1]
    print('SizeOfImage right', int(nh.SizeOfImage == align(last.VirtualAddress + last.Misc_VirtualSize, nh.SectionAlignment)), sep='\t')
    initialized = sum(s.SizeOfRawData for s in new.sections if s.Characteristics & 0x40)
    print('SizeOfInitializedData right', int(nh.SizeOfInitializedData == initialized), sep='\t')
    rsrc = [s for s in new.sections if s.VirtualAddress == rsrc_va][0]
    print('resource directory right', int(nh.DATA_DIRECTORY[2].VirtualAddress == rsrc.VirtualAddress and
                                          nh.DATA_DIRECTORY[2].Size == rsrc.Misc_VirtualSize), sep='\t')
    reloc = [s for s in new.sections if s.Name.rstrip(b'\0') == b'.reloc']
    print('relocation directory right', int(nh.DATA_DIRECTORY[5].Size == oh.DATA_DIRECTORY[5].Size and
                                            (nh.DATA_DIRECTORY[5].VirtualAddress == reloc[0].VirtualAddress if reloc
                                             else nh.DATA_DIRECTORY[5].Size == 0)), sep='\t')
    print('relocations', len(relocations(new)), sep='\t')
    print('relocations same', int(relocations(old) == relocations(new)), sep='\t')
    print('imports same', int(imports(old) == imports(new)), sep='\t')
    manifests = lambda pe: [l[2:5] + l[7:] for l in leaves(pe) if l[0] == '24']
    print('manifest same', int(len(manifests(old)) == 1 and manifests(old) == manifests(new)), sep='\t')
    if not hasattr(new, 'VS_FIXEDFILEINFO'):
        sys.exit(0)
    f = new.VS_FIXEDFILEINFO[0]
    print('fixed', f.Signature, f.StrucVersion, f.FileVersionMS, f.FileVersionLS, f.ProductVersionMS,
          f.ProductVersionLS, f.FileFlagsMask, f.FileFlags, f.FileOS, f.FileType, f.FileSubtype, sep='\t')
    for info in new.FileInfo[0]:
        if info.Key == b'StringFileInfo':
            for table in info.StringTable:
                for k, v in table.entries.items():
                    print('string', table.LangID.decode(), k.decode(), v.decode(), sep='\t')
        if info.Key == b'VarFileInfo':
            for var in info.Var:
                for k, v in var.entry.items():
                    print('var', k.decode(), v, sep='\t')
)PY";

using Lines = std::vector<std::vector<std::string>>;

std::vector<std::string> Split(const std::string& line) {
    std::vector<std::string> fields(1);
    for (char c : line) {
        if (c == '\t')
            fields.emplace_back();
        else
            fields.back() += c;
    }
    return fields;
}

// The value of the first line that starts with key, or "(missing)".
std::string Fact(const Lines& lines, const std::string& key) {
    for (const auto& l : lines)
        if (l.size() >= 2 && l[0] == key) return l[1];
    return "(missing)";
}

Lines Select(const Lines& lines, const std::string& key) {
    Lines out;
    for (const auto& l : lines)
        if (!l.empty() && l[0] == key) out.push_back(l);
    return out;
}

class PeResourcesTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "peresources-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        WriteText(dir / "pefile-check.py", kPefileScript);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    std::string Put(const std::string& name, const Bytes& bytes) {
        WriteBytes(dir / name, bytes);
        return (dir / name).string();
    }

    // Debian's pefile: /usr/bin/python3, not whatever python3 is first on PATH.
    Lines Pefile(const std::vector<std::string>& args) {
        std::vector<std::string> all = {(dir / "pefile-check.py").string()};
        all.insert(all.end(), args.begin(), args.end());
        const RunResult r = mk::Run("/usr/bin/python3", all, dir);
        EXPECT_EQ(r.exitCode, 0) << "pefile failed:\n" << r.err;
        Lines lines;
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);) lines.push_back(Split(line));
        return lines;
    }

    RunResult Wrestool(const std::vector<std::string>& args) { return mk::Run("/usr/bin/wrestool", args, dir); }

    // wrestool -l without the offsets and sizes.
    std::string WrestoolListing(const std::string& file) {
        const RunResult r = Wrestool({"-l", file});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        std::string listing;
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);) listing += line.substr(0, line.find(" [")) + "\n";
        return listing;
    }

    fs::path dir;
};

Bytes Rewrite(const Bytes& image, const ResourceUpdate& update) {
    Bytes out = image;
    std::string error;
    EXPECT_TRUE(UpdateResources(out, update, error)) << error;
    return out;
}

ResourceUpdate IconAndVersion(std::vector<IconImage> icon, VersionStrings version) {
    ResourceUpdate u;
    u.icon = std::move(icon);
    u.version = std::move(version);
    return u;
}

// ---------------------------------------------------------------------------
// .ico files

TEST(PeResourcesIco, ReadsBitmapAndPngImagesInOrder) {
    const std::vector<IconImage> made = ThreeImages();
    std::vector<IconImage> images;
    std::string error;
    ASSERT_TRUE(ParseIco(Ico(made), images, error)) << error;
    ASSERT_EQ(images.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(images[i].width, made[i].width);
        EXPECT_EQ(images[i].height, made[i].height);
        EXPECT_EQ(images[i].colorCount, made[i].colorCount);
        EXPECT_EQ(images[i].planes, 1);
        EXPECT_EQ(images[i].bitCount, made[i].bitCount);
        EXPECT_EQ(images[i].png, made[i].png);
        EXPECT_EQ(images[i].data, made[i].data);
    }
}

// What PNG writers add and decoders skip is no fault: ancillary chunks, and
// image data split over several IDAT chunks in a row.
TEST(PeResourcesIco, TakesPngsWithAncillaryChunksAndSplitImageData) {
    const IconImage png = Rechunked(Png(32, 32), [](PngChunks& c) {
        Bytes& data = ChunkOf(c, "IDAT");
        const Bytes tail(data.begin() + 100, data.end());
        data.resize(100);
        c.insert(c.begin() + 1, {"tEXt", {'T', 'i', 't', 'l', 'e', 0, 'x'}});
        c.insert(c.end() - 1, {"IDAT", tail});
        c.insert(c.end() - 1, {"tIME", {7, 234, 12, 10, 12, 0, 0}});
    });
    std::vector<IconImage> images;
    std::string error;
    ASSERT_TRUE(ParseIco(Ico({png}), images, error)) << error;
    ASSERT_EQ(images.size(), 1u);
    EXPECT_TRUE(images[0].png);
    EXPECT_EQ(images[0].data, png.data);
}

TEST(PeResourcesIco, TakesBitDepthsFromTheImagesWhereTheDirectoryIsSilentOrWrong) {
    struct Case {
        const char* name;
        IconImage image;
        uint16_t directoryBitCount;
        uint16_t expected;
    };
    const Case cases[] = {
        {"bitmap, directory says 0", Dib(16, 16, 32), 0, 32},
        {"bitmap, directory says 8", Dib(16, 16, 4), 8, 4},  // the bitmap's own header decides how it is read
        {"PNG, directory says 0", Png(48, 48), 0, 32},
        {"PNG, directory says 24", Png(48, 48), 24, 24},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        IconImage entry = c.image;
        entry.bitCount = c.directoryBitCount;
        entry.planes = 0;
        std::vector<IconImage> images;
        std::string error;
        ASSERT_TRUE(ParseIco(Ico({entry}), images, error)) << error;
        EXPECT_EQ(images[0].bitCount, c.expected);
        EXPECT_EQ(images[0].planes, 1);
    }
}

TEST(PeResourcesIco, RefusesMalformedFilesWithAReason) {
    const Bytes good = Ico({Dib(32, 32, 32), Png(64, 64)});
    const size_t png = 6 + 32 + Dib(32, 32, 32).data.size();  // where the PNG starts
    auto with = [&](std::function<void(Bytes&)> change) {
        Bytes b = good;
        change(b);
        return b;
    };
    auto single = [](IconImage image, std::function<void(IconImage&)> change) {
        change(image);
        return Ico({image});
    };
    struct Case {
        const char* name;
        Bytes file;
        const char* reason;
    };
    const Case cases[] = {
        {"empty file", {}, "too short for an icon header"},
        {"five bytes", {0, 0, 1, 0, 1}, "too short"},
        {"a cursor", with([](Bytes& b) { b[2] = 2; }), "cursor"},
        {"a PNG file", Png(16, 16).data, "not an icon file"},
        {"reserved word set", with([](Bytes& b) { b[0] = 1; }), "not an icon file"},
        {"no images", Bytes{0, 0, 1, 0, 0, 0}, "no images"},
        {"directory cut short", Bytes(good.begin(), good.begin() + 30), "truncated: its directory of 2 images needs 38"},
        {"image past the end", with([](Bytes& b) { Set32(b, 6 + 16 + 12, static_cast<uint32_t>(b.size())); }),
         "image 2 of 2 (64x64) lies outside the file"},
        {"image longer than the file", with([](Bytes& b) { Set32(b, 6 + 16 + 8, Get32(b, 6 + 16 + 8) + 1); }),
         "lies outside the file"},
        {"offset and size wrap around", with([](Bytes& b) { Set32(b, 6 + 12, 0xFFFFFFF0u), Set32(b, 6 + 8, 0x20); }),
         "image 1 of 2 (32x32) lies outside the file"},
        {"image inside the directory", with([](Bytes& b) { Set32(b, 6 + 12, 6); }), "starts inside the icon directory"},
        {"empty image", with([](Bytes& b) { Set32(b, 6 + 8, 0); }), "image 1 of 2 (32x32) is empty"},
        {"bitmap narrower than its entry", single(Dib(16, 16, 32), [](IconImage& i) { i.width = 32; }),
         "the bitmap is 16x32 (image and mask), the icon directory says 32x16"},
        {"bitmap without its mask's height", single(Dib(16, 16, 32), [](IconImage& i) { Set32(i.data, 8, 16); }),
         "the bitmap is 16x16"},
        {"bitmap of 7 bits per pixel", single(Dib(16, 16, 8), [](IconImage& i) { Set16(i.data, 14, 7); }),
         "7 bits per pixel"},
        {"bitmap of 2 planes", single(Dib(16, 16, 8), [](IconImage& i) { Set16(i.data, 12, 2); }), "2 planes"},
        {"run-length compressed bitmap", single(Dib(16, 16, 8), [](IconImage& i) { Set32(i.data, 16, 1); }),
         "compressed"},
        {"palette larger than the depth allows", single(Dib(16, 16, 4), [](IconImage& i) { Set32(i.data, 32, 17); }),
         "claims 17 colours"},
        {"bitmap pixels cut short", single(Dib(16, 16, 32), [](IconImage& i) { i.data.resize(i.data.size() - 1); }),
         "needs 1128 bytes, the icon file gives 1127"},
        {"old-style bitmap header", single(Dib(16, 16, 32), [](IconImage& i) { Set32(i.data, 0, 12); }),
         "neither a PNG nor a bitmap"},
        {"PNG larger than its entry", single(Png(64, 64), [](IconImage& i) { i.width = i.height = 48; }),
         "the PNG is 64x64, the icon directory says 48x48"},
        {"PNG cut before IEND", with([&](Bytes& b) { b.resize(b.size() - 12), Set32(b, 6 + 16 + 8, Get32(b, 6 + 16 + 8) - 12); }),
         "image 2 of 2 (64x64) is truncated"},
        {"PNG without IHDR", with([&](Bytes& b) { std::memcpy(&b[png + 12], "IDAT", 4); }), "without an IHDR chunk"},
        {"PNG of an unknown colour type", with([&](Bytes& b) { b[png + 25] = 5; }), "unknown pixel format"},
        // What Windows would find only when it draws the icon: users would
        // see none.
        {"PNG whose image data is damaged", with([&](Bytes& b) { b[png + 33 + 8 + 40] ^= 0x10; }),
         "image 2 of 2 (64x64): the PNG's IDAT chunk at offset 33 fails its CRC-32 (damaged)"},
        {"PNG whose last CRC is damaged", with([&](Bytes& b) { b.back() ^= 0x01; }), "IEND chunk at offset"},
        {"PNG without image data",
         single(Rechunked(Png(16, 16), [](PngChunks& c) { c.erase(c.begin() + 1); }), [](IconImage&) {}),
         "a PNG without image data (no IDAT chunk)"},
        {"PNG with a critical chunk no decoder knows",
         single(Rechunked(Png(16, 16), [](PngChunks& c) { c.insert(c.end() - 1, {"QUUX", {1, 2, 3}}); }), [](IconImage&) {}),
         "QUUX chunk at offset"},
        {"PNG whose image data is split by another chunk",
         single(Rechunked(Png(16, 16), [](PngChunks& c) {
                    Bytes& data = ChunkOf(c, "IDAT");
                    const Bytes tail(data.begin() + 10, data.end());
                    data.resize(10);
                    c.insert(c.end() - 1, {{"tEXt", {'a', 0, 'b'}}, {"IDAT", tail}});
                }), [](IconImage&) {}),
         "IDAT chunk at offset", },
        {"palette PNG without its palette",
         single(Rechunked(Png(16, 16), [](PngChunks& c) { ChunkOf(c, "IHDR")[9] = 3; }), [](IconImage&) {}),
         "a palette PNG without its palette"},
        {"palette PNG of 16 bits per pixel",
         single(Rechunked(Png(16, 16), [](PngChunks& c) { ChunkOf(c, "IHDR")[8] = 16, ChunkOf(c, "IHDR")[9] = 3; }),
                [](IconImage&) {}),
         "unknown pixel format"},
        {"PNG interlaced by an unknown method",
         single(Rechunked(Png(16, 16), [](PngChunks& c) { ChunkOf(c, "IHDR")[12] = 2; }), [](IconImage&) {}),
         "unknown compression, filter or interlace method"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<IconImage> images;
        std::string error;
        EXPECT_FALSE(ParseIco(c.file, images, error));
        EXPECT_TRUE(Contains(error, c.reason)) << error;
        EXPECT_TRUE(images.empty());
    }
}

// ---------------------------------------------------------------------------
// Version resources

// A reading of the version format written apart from the library's, strict
// about the layout: every node on a 32-bit boundary, the value right after
// its key's padding, children right after the value's, and a node's length
// ending with its own last byte.
struct VersionNode {
    size_t start = 0, end = 0;
    uint16_t valueLength = 0, type = 0;
    std::u16string key;
    Bytes value;
    std::vector<VersionNode> children;
};

VersionNode WalkVersion(const Bytes& b, size_t at, size_t limit) {
    VersionNode n;
    n.start = at;
    EXPECT_EQ(at % 4, 0u) << "node at " << at;
    if (at + 6 > limit) {
        ADD_FAILURE() << "node at " << at << " past its parent";
        return n;
    }
    n.end = at + (b[at] | b[at + 1] << 8);
    n.valueLength = static_cast<uint16_t>(b[at + 2] | b[at + 3] << 8);
    n.type = static_cast<uint16_t>(b[at + 4] | b[at + 5] << 8);
    if (n.end > limit || n.end < at + 6) {
        ADD_FAILURE() << "node at " << at << " has length " << n.end - at;
        return n;
    }
    size_t p = at + 6;
    for (; p + 2 <= n.end && (b[p] | b[p + 1]); p += 2) n.key += static_cast<char16_t>(b[p] | b[p + 1] << 8);
    p = (p + 2 + 3) / 4 * 4;
    const size_t valueBytes = n.type == 1 ? 2u * n.valueLength : n.valueLength;
    if (p + valueBytes > n.end) {
        ADD_FAILURE() << "value past the node at " << at;
        return n;
    }
    n.value.assign(b.begin() + p, b.begin() + p + valueBytes);
    const size_t valueEnd = p + valueBytes;
    p = (valueEnd + 3) / 4 * 4;
    if (p >= n.end) {
        EXPECT_EQ(n.end, valueEnd) << "a childless node's length ends with its value, not with padding after it";
        return n;
    }
    while (p < n.end) {
        n.children.push_back(WalkVersion(b, p, n.end));
        if (n.children.back().end <= p) return n;
        p = (n.children.back().end + 3) / 4 * 4;
    }
    EXPECT_EQ(n.children.back().end, n.end) << "a node's length ends with its last child";
    return n;
}

std::u16string U16(const std::string& s) { return Utf8ToUtf16(s); }

TEST(PeResourcesVersion, LaysOutEveryNodeAsTheFormatWants) {
    VersionStrings strings = kAllKeys;
    strings[1].second = "Widget setup \xF0\x9F\x98\x80";  // a surrogate pair
    Bytes resource;
    std::string error;
    ASSERT_TRUE(BuildVersionResource(strings, resource, error)) << error;
    ASSERT_GE(resource.size(), 6u);
    ASSERT_EQ(resource[0] | resource[1] << 8, static_cast<int>(resource.size()));
    const VersionNode root = WalkVersion(resource, 0, resource.size());
    EXPECT_EQ(root.key, u"VS_VERSION_INFO");
    EXPECT_EQ(root.type, 0);
    ASSERT_EQ(root.valueLength, 52);
    const uint32_t fixed[13] = {0xFEEF04BD, 0x00010000, 0x00010002, 0x00030004, 0x00050006, 0, 0x3F, 0, 0x40004, 1, 0, 0, 0};
    for (int i = 0; i < 13; ++i) EXPECT_EQ(Get32(root.value, 4 * i), fixed[i]) << "VS_FIXEDFILEINFO field " << i;
    ASSERT_EQ(root.children.size(), 2u);

    const VersionNode& sfi = root.children[0];
    EXPECT_EQ(sfi.key, u"StringFileInfo");
    EXPECT_EQ(sfi.type, 1);
    EXPECT_EQ(sfi.valueLength, 0);
    ASSERT_EQ(sfi.children.size(), 1u);
    const VersionNode& table = sfi.children[0];
    EXPECT_EQ(table.key, u"040904B0");
    EXPECT_EQ(table.valueLength, 0);
    ASSERT_EQ(table.children.size(), strings.size());
    for (size_t i = 0; i < strings.size(); ++i) {
        const VersionNode& s = table.children[i];
        const std::u16string text = U16(strings[i].second);
        SCOPED_TRACE(strings[i].first);
        EXPECT_EQ(s.key, U16(strings[i].first));
        EXPECT_EQ(s.type, 1);
        EXPECT_EQ(s.valueLength, text.size() + 1) << "wValueLength counts UTF-16 units with the terminator";
        Bytes expected;
        for (char16_t c : text + u'\0') Le16(expected, c);
        EXPECT_EQ(s.value, expected);
        EXPECT_TRUE(s.children.empty());
    }

    const VersionNode& vfi = root.children[1];
    EXPECT_EQ(vfi.key, u"VarFileInfo");
    EXPECT_EQ(vfi.type, 1);
    ASSERT_EQ(vfi.children.size(), 1u);
    EXPECT_EQ(vfi.children[0].key, u"Translation");
    EXPECT_EQ(vfi.children[0].type, 0);
    EXPECT_EQ(vfi.children[0].valueLength, 4);
    EXPECT_EQ(vfi.children[0].value, (Bytes{0x09, 0x04, 0xB0, 0x04}));
    EXPECT_EQ(vfi.end, resource.size());
}

TEST(PeResourcesVersion, DottedNumbersSetTheBinaryVersionOtherTextDoesNot) {
    struct Case {
        const char* text;
        uint32_t ms, ls;  // 0, 0 where the text is no version number
    };
    const Case cases[] = {
        {"1.2.3.4", 0x00010002, 0x00030004},
        {"7", 0x00070000, 0},
        {"1.2", 0x00010002, 0},
        {"10.20.30", 0x000A0014, 0x001E0000},
        {"65535.65535.65535.65535", 0xFFFFFFFF, 0xFFFFFFFF},
        {"007.0.0.01", 0x00070000, 0x00000001},
        {"65536.0", 0, 0},
        {"1.2.3.4.5", 0, 0},
        {"1..2", 0, 0},
        {"1.2.", 0, 0},
        {".1", 0, 0},
        {"", 0, 0},
        {"1.2 beta", 0, 0},
        {" 1.2", 0, 0},
        {"-1.2", 0, 0},
        {"99999999999999999999.1", 0, 0},
        {"v1.2", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("\"") + c.text + "\"");
        // The two keys set the two versions independently.
        Bytes resource;
        std::string error;
        ASSERT_TRUE(BuildVersionResource({{"ProductVersion", "3.1"}, {"FileVersion", c.text}}, resource, error)) << error;
        VersionInfo info;
        ASSERT_TRUE(ParseVersionResource(resource, info, error)) << error;
        EXPECT_EQ(info.fileVersionMS, c.ms);
        EXPECT_EQ(info.fileVersionLS, c.ls);
        EXPECT_EQ(info.productVersionMS, 0x00030001u);
        EXPECT_EQ(info.productVersionLS, 0u);
        ASSERT_TRUE(BuildVersionResource({{"ProductVersion", c.text}}, resource, error)) << error;
        ASSERT_TRUE(ParseVersionResource(resource, info, error)) << error;
        EXPECT_EQ(info.productVersionMS, c.ms);
        EXPECT_EQ(info.productVersionLS, c.ls);
        EXPECT_EQ(info.fileVersionMS, 0u);
        ASSERT_EQ(info.stringTables.size(), 1u);
        EXPECT_EQ(info.stringTables[0].strings, (VersionStrings{{"ProductVersion", c.text}}));
    }
}

TEST(PeResourcesVersion, RefusesWhatItCannotStore) {
    struct Case {
        const char* name;
        VersionStrings strings;
        const char* reason;
    };
    VersionStrings tooMuch;
    for (const char* key : {"CompanyName", "FileDescription", "ProductName", "Comments"})
        tooMuch.emplace_back(key, std::string(8200, 'x'));
    const Case cases[] = {
        {"unknown key", {{"CompanyName", "A"}, {"SpecialBuild", "x"}}, "unknown version key \"SpecialBuild\" (allowed: CompanyName,"},
        {"key in the wrong case", {{"companyname", "A"}}, "unknown version key"},
        {"a key twice", {{"Comments", "a"}, {"Comments", "b"}}, "Comments is given twice"},
        {"broken UTF-8", {{"ProductName", "caf\xC3"}}, "ProductName is not valid UTF-8"},
        {"a NUL inside", {{"ProductName", std::string("a\0b", 3)}}, "holds a NUL"},
        {"one value too long", {{"Comments", std::string(40000, 'x')}}, "too long"},
        {"all values together too long", tooMuch, "65535"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes resource = {1, 2, 3};
        std::string error;
        EXPECT_FALSE(BuildVersionResource(c.strings, resource, error));
        EXPECT_TRUE(Contains(error, c.reason)) << error;
        EXPECT_EQ(resource, (Bytes{1, 2, 3}));
    }
}

// ---------------------------------------------------------------------------
// Rewriting the real launchers

class PeResourcesOnStub : public PeResourcesTest, public ::testing::WithParamInterface<Stub> {
protected:
    void SetUp() override {
        PeResourcesTest::SetUp();
        ASSERT_TRUE(fs::exists(GetParam().path)) << GetParam().path << " is missing: build the win32 and win64 presets";
        stub = ReadBytes(GetParam().path);
    }
    Bytes stub;
};

TEST_P(PeResourcesOnStub, PefileAndWrestoolReadBackIconAndVersionWithEverythingElseIntact) {
    const std::vector<IconImage> icon = ThreeImages();
    const Bytes image = Rewrite(stub, IconAndVersion(icon, kAllKeys));
    const std::string original = Put("original.exe", stub), rewritten = Put("rewritten.exe", image);

    const Lines facts = Pefile({"check", original, rewritten});
    EXPECT_TRUE(Select(facts, "warning").empty()) << Select(facts, "warning")[0][1];
    EXPECT_EQ(Fact(facts, "e_lfanew"), "256");
    const char* const holds[] = {"locator bytes zero", "DOS stub same", "checksum right", "DllCharacteristics same",
                                 "AddressOfEntryPoint same", "ImageBase same", "FileAlignment same",
                                 "SectionAlignment same", "SizeOfHeaders same", "Subsystem same", "SizeOfCode same",
                                 "sections before resources same", "sections contiguous", "SizeOfImage right",
                                 "SizeOfInitializedData right", "resource directory right",
                                 "relocation directory right", "relocations same", "imports same", "manifest same"};
    for (const char* fact : holds) EXPECT_EQ(Fact(facts, fact), "1") << fact;
    EXPECT_EQ(Fact(facts, "bytes after last section"), "0");
    EXPECT_NE(Fact(facts, "relocations"), "0") << "the launcher has relocations, or the check proves nothing";

    const Lines fixed = Select(facts, "fixed");
    ASSERT_EQ(fixed.size(), 1u);
    EXPECT_EQ(fixed[0], (std::vector<std::string>{"fixed", std::to_string(0xFEEF04BD), "65536", "65538", "196612",
                                                   "327686", "0", "63", "0", "262148", "1", "0"}));
    Lines expectedStrings;
    for (const auto& [key, value] : kAllKeys) expectedStrings.push_back({"string", "040904B0", key, value});
    EXPECT_EQ(Select(facts, "string"), expectedStrings);
    EXPECT_EQ(Select(facts, "var"), (Lines{{"var", "Translation", "0x0409 0x04b0"}}));

    // wrestool rebuilds the .ico from the group and its icons.  Version 0.32
    // leaves as many zero bytes after it as the group resource has.
    RunResult r = Wrestool({"-x", "--type=14", "--name=1", rewritten});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const Bytes ico = Ico(icon);
    const size_t group = 6 + 14 * icon.size();
    EXPECT_TRUE(r.out == std::string(ico.begin(), ico.end()) + std::string(group, '\0'))
        << "the icon wrestool extracts differs";
    fs::create_directory(dir / "icons");
    r = Wrestool({"-x", "--raw", "--type=3", "-o", (dir / "icons").string(), rewritten});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (size_t i = 0; i < icon.size(); ++i)
        EXPECT_EQ(ReadBytes(dir / "icons" / ("rewritten.exe_3_" + std::to_string(i + 1))), icon[i].data) << "RT_ICON " << i + 1;
    EXPECT_EQ(WrestoolListing(rewritten),
              "--type=3 --name=1 --language=1033\n--type=3 --name=2 --language=1033\n--type=3 --name=3 --language=1033\n"
              "--type=14 --name=1 --language=1033\n--type=16 --name=1 --language=1033\n"
              "--type=24 --name=1 --language=1033\n");
}


TEST_P(PeResourcesOnStub, RewritingAgainGivesWhatOneRewriteWithTheLastValuesGives) {
    const ResourceUpdate big = IconAndVersion(ThreeImages(), kAllKeys);
    const ResourceUpdate small = IconAndVersion({Dib(48, 48, 8, 9)}, {{"ProductName", "Other"}, {"FileVersion", "2.0"}});
    const Bytes once = Rewrite(stub, small);
    // EXPECT_TRUE: a failure would otherwise print hundreds of kilobytes.
    EXPECT_TRUE(Rewrite(Rewrite(stub, big), small) == once) << "shrinking after growing";
    EXPECT_TRUE(Rewrite(once, big) == Rewrite(stub, big)) << "growing after shrinking";
    EXPECT_TRUE(Rewrite(once, small) == once) << "the same values again";
}

TEST_P(PeResourcesOnStub, KeepsWhatAnUpdateDoesNotName) {
    const Bytes first = Rewrite(stub, IconAndVersion(ThreeImages(), kAllKeys));
    ResourceUpdate versionOnly, iconOnly;
    versionOnly.version = VersionStrings{{"ProductName", "Second"}};
    iconOnly.icon = std::vector<IconImage>{Dib(24, 24, 8)};
    auto leavesOf = [](const Lines& tree, const std::string& type) {
        Lines out;
        for (const auto& l : Select(tree, "leaf"))
            if (l.at(1) == type) out.push_back(l);
        return out;
    };
    const Lines before = Pefile({"tree", Put("first.exe", first)});
    const Lines afterVersion = Pefile({"tree", Put("version.exe", Rewrite(first, versionOnly))});
    const Lines afterIcon = Pefile({"tree", Put("icon.exe", Rewrite(first, iconOnly))});
    ASSERT_EQ(leavesOf(before, "3").size(), 3u);
    EXPECT_EQ(leavesOf(afterVersion, "3"), leavesOf(before, "3"));
    EXPECT_EQ(leavesOf(afterVersion, "14"), leavesOf(before, "14"));
    EXPECT_NE(leavesOf(afterVersion, "16"), leavesOf(before, "16"));
    EXPECT_EQ(leavesOf(afterIcon, "16"), leavesOf(before, "16"));
    EXPECT_EQ(leavesOf(afterIcon, "3").size(), 1u) << "the replaced group's icons stay behind";
    for (const Lines* after : {&afterVersion, &afterIcon}) EXPECT_EQ(leavesOf(*after, "24"), leavesOf(before, "24"));
}

std::string Hex(const std::string& text) {
    std::string hex;
    for (unsigned char c : text) {
        hex += "0123456789abcdef"[c >> 4];
        hex += "0123456789abcdef"[c & 15];
    }
    return hex;
}

TEST_P(PeResourcesOnStub, SortsTheDirectoryNamesFirstAndKeepsEveryLanguage) {
    using R = ResourceId;
    ResourceUpdate u;
    auto add = [&](R type, R name, uint16_t language, const std::string& text, uint32_t codePage = 0) {
        u.resources.push_back({type, name, language, Bytes(text.begin(), text.end()), codePage});
    };
    // Given in no particular order.
    add(R::Number(10), R::Number(300), 0x0409, "en");
    add(R::Name(u"ZTYPE"), R::Number(5), 0x0409, "z");
    add(R::Number(10), R::Number(300), 0x0407, "de", 1252);
    add(R::Name(u"ATYPE"), R::Number(3), 0x0409, "three");
    add(R::Name(u"ATYPE"), R::Name(u"B"), 0x0409, "bee");
    add(R::Number(10), R::Name(u"\u00C4X"), 0x0409, "umlaut");
    add(R::Name(u"ATYPE"), R::Number(1), 0x0409, "one");
    add(R::Number(10), R::Number(300), 0, "neutral");
    add(R::Name(u"ATYPE"), R::Name(u"A"), 0x0409, "a");
    add(R::Name(u"ATYPE"), R::Name(u"AB"), 0x0409, "ab");
    u.version = VersionStrings{{"ProductName", "x"}};
    const Lines tree = Pefile({"tree", Put("sorted.exe", Rewrite(stub, u))});

    EXPECT_EQ(Select(tree, "dir"), (Lines{{"dir", "root", "2", "3"},
                                          {"dir", "name:ATYPE", "3", "2"},
                                          {"dir", "name:ZTYPE", "0", "1"},
                                          {"dir", "10", "1", "1"},
                                          {"dir", "16", "0", "1"},
                                          {"dir", "24", "0", "1"}}));
    const Lines expected = {
        {"name:ATYPE", "name:A", "1033", "0", Hex("a")},
        {"name:ATYPE", "name:AB", "1033", "0", Hex("ab")},
        {"name:ATYPE", "name:B", "1033", "0", Hex("bee")},
        {"name:ATYPE", "1", "1033", "0", Hex("one")},
        {"name:ATYPE", "3", "1033", "0", Hex("three")},
        {"name:ZTYPE", "5", "1033", "0", Hex("z")},
        {"10", "name:\u00C4X", "1033", "0", Hex("umlaut")},
        {"10", "300", "0", "0", Hex("neutral")},
        {"10", "300", "1031", "1252", Hex("de")},
        {"10", "300", "1033", "0", Hex("en")},
        {"16", "1", "1033", "0", "(version)"},
        {"24", "1", "1033", "0", "(manifest)"},
    };
    const Lines leaves = Select(tree, "leaf");
    ASSERT_EQ(leaves.size(), expected.size());
    for (size_t i = 0; i < leaves.size(); ++i) {
        const auto& l = leaves[i];
        ASSERT_EQ(l.size(), 9u);
        const std::string data = expected[i][4][0] == '(' ? expected[i][4] : l[8];
        EXPECT_EQ((std::vector<std::string>{l[1], l[2], l[3], l[5], data}), expected[i]) << "leaf " << i;
        EXPECT_EQ(l[6], "0") << "data of leaf " << i << " not 8-byte aligned";
        EXPECT_EQ(l[7], "0") << "data entry of leaf " << i << " not 4-byte aligned";
    }
}

TEST_P(PeResourcesOnStub, ChecksumAgreesWithPefileOverTheWholeFile) {
    const Bytes rewritten = Rewrite(stub, IconAndVersion({Dib(16, 16, 32)}, {{"ProductName", "P"}}));
    for (size_t appended : {0, 1, 2, 3, 4097}) {
        SCOPED_TRACE(appended);
        Bytes file = rewritten;
        for (size_t i = 0; i < appended; ++i) file.push_back(static_cast<uint8_t>(i * 13 + 7));
        std::string error;
        ASSERT_TRUE(StorePeChecksum(file, error)) << error;
        const Lines l = Pefile({"checksum", Put("c.exe", file)});
        ASSERT_EQ(l.size(), 1u);
        EXPECT_EQ(l[0].at(1), l[0].at(2)) << "stored and pefile's";
        uint32_t again = 0;
        ASSERT_TRUE(ComputePeChecksum(file, again, error)) << error;
        EXPECT_EQ(std::to_string(again), l[0].at(1)) << "the stored field must not count";
    }
    uint32_t checksum = 0;
    std::string error;
    EXPECT_FALSE(ComputePeChecksum(Bytes(300, 'M'), checksum, error));
    EXPECT_TRUE(Contains(error, "no MZ signature")) << error;
}

TEST_P(PeResourcesOnStub, ReadsBackEntriesVersionAndMainIconAlsoWithAPackageAfterIt) {
    ResourceReport report;
    std::string error;
    ASSERT_TRUE(ReadResources(stub, report, error)) << error;
    PeInfo info;
    ASSERT_TRUE(ParsePe(stub, info, error)) << error;
    ASSERT_EQ(report.entries.size(), 1u);
    EXPECT_EQ(report.entries[0].type.Describe(true), "RT_MANIFEST (24)");
    EXPECT_EQ(report.entries[0].size, info.manifest.size());
    EXPECT_FALSE(report.version);
    EXPECT_FALSE(report.mainIcon);

    const std::vector<IconImage> icon = ThreeImages();
    Bytes file = Rewrite(stub, IconAndVersion(icon, kAllKeys));
    file.insert(file.end(), 5000, 0xA5);
    ASSERT_TRUE(ReadResources(file, report, error)) << error;
    Bytes version;
    ASSERT_TRUE(BuildVersionResource(kAllKeys, version, error)) << error;
    std::vector<std::string> entries;
    for (const ResourceEntry& e : report.entries)
        entries.push_back(e.type.Describe(true) + " " + e.name.Describe() + " " + std::to_string(e.language) + " " +
                          std::to_string(e.size));
    EXPECT_EQ(entries, (std::vector<std::string>{
                           "RT_ICON (3) 1 1033 " + std::to_string(icon[0].data.size()),
                           "RT_ICON (3) 2 1033 " + std::to_string(icon[1].data.size()),
                           "RT_ICON (3) 3 1033 " + std::to_string(icon[2].data.size()),
                           "RT_GROUP_ICON (14) 1 1033 48",
                           "RT_VERSION (16) 1 1033 " + std::to_string(version.size()),
                           "RT_MANIFEST (24) 1 1033 " + std::to_string(info.manifest.size()),
                       }));

    ASSERT_TRUE(report.version);
    EXPECT_TRUE(report.version->hasFixedInfo);
    EXPECT_EQ(FormatFixedVersion(report.version->fileVersionMS, report.version->fileVersionLS), "1.2.3.4");
    EXPECT_EQ(FormatFixedVersion(report.version->productVersionMS, report.version->productVersionLS), "5.6.0.0");
    ASSERT_EQ(report.version->stringTables.size(), 1u);
    EXPECT_EQ(report.version->stringTables[0].key, "040904B0");
    EXPECT_EQ(report.version->stringTables[0].strings, kAllKeys);
    EXPECT_EQ(report.version->translations, (std::vector<uint32_t>{0x04B00409}));

    ASSERT_TRUE(report.mainIcon);
    EXPECT_EQ(report.mainIcon->name, ResourceId::Number(1));
    EXPECT_EQ(report.mainIcon->language, 0x0409);
    ASSERT_EQ(report.mainIcon->images.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        const IconGroupImage& g = report.mainIcon->images[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(g.width, icon[i].width);
        EXPECT_EQ(g.height, icon[i].height);
        EXPECT_EQ(g.bitCount, icon[i].bitCount);
        EXPECT_EQ(g.colorCount, icon[i].colorCount);
        EXPECT_EQ(g.size, icon[i].data.size());
        EXPECT_EQ(g.iconId, i + 1);
        EXPECT_TRUE(g.present);
        EXPECT_EQ(g.png, icon[i].png);
    }
}

// Where the damage goes in an image.
struct Places {
    PeInfo info;
    size_t directories = 0;            // file offset of the data directory
    size_t resources = 0;              // file offset of the resource tree's root
    const PeSection* relocSection = nullptr;
    size_t relocations = 0;            // file offset of the base relocation table
};

size_t FileOffset(const PeInfo& info, uint32_t rva) {
    for (const PeSection& s : info.sections)
        if (rva >= s.virtualAddress && rva < s.virtualAddress + s.rawSize) return s.rawOffset + (rva - s.virtualAddress);
    ADD_FAILURE() << "RVA " << rva << " in no section";
    return 0;
}

Places Locate(const Bytes& image) {
    Places p;
    std::string error;
    EXPECT_TRUE(ParsePe(image, p.info, error)) << error;
    p.directories = p.info.optionalHeaderOffset + (p.info.pe32Plus ? 112 : 96);
    p.resources = FileOffset(p.info, p.info.directories.at(2).rva);
    p.relocations = FileOffset(p.info, p.info.directories.at(5).rva);
    for (const PeSection& s : p.info.sections)
        if (s.virtualAddress == p.info.directories.at(5).rva) p.relocSection = &s;
    EXPECT_TRUE(p.relocSection) << "the launcher has no relocation section of its own";
    return p;
}

// The first resource entry at each level: type, name, language.
size_t FirstEntryTarget(const Bytes& image, const Places& p, int level) {
    size_t directory = p.resources;
    for (int i = 0; i < level; ++i) directory = p.resources + (Get32(image, directory + 20) & 0x7FFFFFFF);
    return directory + 20;
}

TEST_P(PeResourcesOnStub, RefusesLayoutsAndContentItCannotRewriteSafely) {
    using Damage = std::function<void(Bytes&, const Places&)>;
    auto directory = [](size_t index, std::function<PeDirectory(const Places&)> value) -> Damage {
        return [=](Bytes& b, const Places& p) {
            const PeDirectory d = value(p);
            Set32(b, p.directories + 8 * index, d.rva);
            Set32(b, p.directories + 8 * index + 4, d.size);
        };
    };
    auto firstRelocation = [](const Bytes& b, const Places& p) {
        return static_cast<uint32_t>(Get32(b, p.relocations)) + (b[p.relocations + 8] | (b[p.relocations + 9] & 0x0F) << 8);
    };
    ResourceUpdate icon;
    icon.icon = std::vector<IconImage>{Dib(16, 16, 32)};
    ResourceUpdate namedGroup;
    Bytes group = {0, 0, 1, 0, 0, 0};
    namedGroup.resources.push_back({ResourceId::Name(u"MAIN"), ResourceId::Number(1), 0x0409, {}, 0});
    namedGroup.resources.push_back({ResourceId::Number(kRtGroupIcon), ResourceId::Name(u"MAIN"), 0x0409, group, 0});
    ResourceUpdate brokenGroup;
    brokenGroup.resources.push_back({ResourceId::Number(kRtGroupIcon), ResourceId::Number(1), 0x0409, {0, 0, 1}, 0});

    struct Case {
        const char* name;
        Damage damage;
        ResourceUpdate update;
        const char* reason;
    };
    const Case cases[] = {
        {"not a PE image", [](Bytes& b, const Places&) { b.assign(1000, 'x'); }, icon, "no MZ signature"},
        {"a package after it", [](Bytes& b, const Places&) { b.insert(b.end(), 100, 1); }, icon,
         "100 bytes after its last section"},
        {"cut short", [](Bytes& b, const Places&) { b.resize(b.size() - 100); }, icon, "the image is truncated"},
        {"signed", directory(4, [](const Places&) { return PeDirectory{0x9000, 0x100}; }), icon, "signed"},
        {"COFF symbols", [](Bytes& b, const Places& p) { Set32(b, p.info.peOffset + 12, 0x100); }, icon, "COFF symbols"},
        {"no resource section", directory(2, [](const Places&) { return PeDirectory{}; }), icon, "no resource section"},
        {"resource tree inside a section",
         directory(2, [](const Places& p) { return PeDirectory{p.info.directories[2].rva + 16, 100}; }), icon,
         "does not start a section"},
        {"sections aligned below a page",
         [](Bytes& b, const Places& p) { Set32(b, p.info.optionalHeaderOffset + 32, 0x200); }, icon, "less than a page"},
        {"sections not where the declared alignment puts them",
         [](Bytes& b, const Places& p) { Set32(b, p.info.optionalHeaderOffset + 32, 0x10000000); }, icon,
         "section .text is not aligned as the image declares"},
        {"file alignment not a power of two",
         [](Bytes& b, const Places& p) { Set32(b, p.info.optionalHeaderOffset + 36, 0x300); }, icon, "unusual alignments"},
        {"an earlier section's data after the resources' in the file",
         [](Bytes& b, const Places& p) { Set32(b, p.info.sectionTableOffset + 40 * 2 + 20, static_cast<uint32_t>(p.resources)); },
         icon, "section .idata precedes the resource section in memory but not in the file"},
        {"no relocation table in the section after",
         directory(5, [](const Places&) { return PeDirectory{}; }), icon,
         "section .reloc follows the resource section and is not the relocation section"},
        {"more than relocations in the section after",
         directory(5, [](const Places& p) { return PeDirectory{p.info.directories[5].rva, p.info.directories[5].size - 8}; }),
         icon, "holds more than the base relocation table"},
        {"debug directory in the section after",
         directory(6, [](const Places& p) { return PeDirectory{p.relocSection->virtualAddress, 28}; }), icon,
         "the debug directory lies in the resource section or after it"},
        {"import table in the resources",
         directory(1, [](const Places& p) { return PeDirectory{p.info.directories[2].rva + 8, 20}; }), icon,
         "the import table lies in the resource section or after it"},
        {"entry point in the relocations",
         [](Bytes& b, const Places& p) { Set32(b, p.info.optionalHeaderOffset + 16, p.relocSection->virtualAddress); },
         icon, "the entry point lies"},
        {"a relocation inside the resources",
         [](Bytes& b, const Places& p) { Set32(b, p.relocations, p.info.directories[2].rva); }, icon,
         "lies in the resource section or after it, which is rewritten"},
        {"a pointer into the relocations",
         [&](Bytes& b, const Places& p) {
             const size_t at = FileOffset(p.info, firstRelocation(b, p));
             const uint64_t target = p.info.imageBase + p.relocSection->virtualAddress + 4;
             Set32(b, at, static_cast<uint32_t>(target));
             if (p.info.pe32Plus) Set32(b, at + 4, static_cast<uint32_t>(target >> 32));
         },
         icon, "refers to RVA"},
        {"a relocation of a kind that cannot be followed",
         [](Bytes& b, const Places& p) { b[p.relocations + 9] = static_cast<uint8_t>((b[p.relocations + 9] & 0x0F) | 0x10); },
         icon, "a relocation of type 1 at RVA"},
        {"a relocation block of 4 bytes", [](Bytes& b, const Places& p) { Set32(b, p.relocations + 4, 4); }, icon,
         "the base relocation table is malformed"},
        {"resource directory counting more entries than fit",
         [](Bytes& b, const Places& p) { Set32(b, p.resources + 12, 0xFFFFFFFF); }, icon,
         "the resource directory is truncated"},
        {"resource type that is data",
         [](Bytes& b, const Places& p) { b[FirstEntryTarget(b, p, 0) + 3] &= 0x7F; }, icon,
         "is data where a directory belongs"},
        {"resource tree four levels deep",
         [](Bytes& b, const Places& p) { Set32(b, FirstEntryTarget(b, p, 2), 0x80000000u); }, icon,
         "nests deeper than type, name and language"},
        {"resource data outside the image",
         [](Bytes& b, const Places& p) { Set32(b, p.resources + Get32(b, FirstEntryTarget(b, p, 2)), 0x7FFFFFF0); }, icon,
         "lies in no section"},
        {"resource name past the tree",
         [](Bytes& b, const Places& p) { Set32(b, FirstEntryTarget(b, p, 0) - 4, 0x8FFFFF00u); }, icon,
         "the resource directory is truncated"},
        {"an icon without images", nullptr, [] { ResourceUpdate u; u.icon.emplace(); return u; }(),
         "an icon needs at least one image"},
        {"an icon image larger than icons come", nullptr, [] {
             ResourceUpdate u;
             u.icon = std::vector<IconImage>{Png(300, 300)};
             return u;
         }(), "300x300 pixels: icons hold 1 to 256 pixels a side"},
        {"a version key not allowed", nullptr, [] { ResourceUpdate u; u.version = VersionStrings{{"Bogus", "1"}}; return u; }(),
         "unknown version key"},
        {"the same resource twice", nullptr, [] {
             ResourceUpdate u;
             u.resources.resize(2, {ResourceId::Number(10), ResourceId::Number(1), 0x0409, {1}, 0});
             return u;
         }(), "resource RT_RCDATA (10) 1 language 1033 is given twice"},
        {"a named icon group Explorer would show instead",
         [&](Bytes& b, const Places&) { b = Rewrite(b, namedGroup); }, icon,
         "an icon group named \"MAIN\", which Explorer would show instead"},
        {"a broken icon group to replace", [&](Bytes& b, const Places&) { b = Rewrite(b, brokenGroup); }, icon,
         "icon group 1 is truncated"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes image = stub;
        if (c.damage) c.damage(image, Locate(stub));
        const Bytes damaged = image;
        std::string error;
        EXPECT_FALSE(UpdateResources(image, c.update, error));
        EXPECT_TRUE(Contains(error, c.reason)) << error;
        EXPECT_TRUE(image == damaged) << "a refused image changed";
    }
}

// Sizes and offsets near 4 GiB once wrapped around in 32-bit sums.
TEST_P(PeResourcesOnStub, ReadsOrRefusesHeadersWithHugeNumbers) {
    struct Case {
        const char* name;
        std::function<void(Bytes&, const Places&)> damage;
        const char* readRefusal;  // nullptr: the manifest still reads
        const char* updateRefusal;
    };
    const Case cases[] = {
        {"e_lfanew near 4 GiB", [](Bytes& b, const Places&) { Set32(b, 0x3C, 0xFFFFFFF0u); }, "no PE signature",
         "no PE signature"},
        {"resource section size near 4 GiB",
         [](Bytes& b, const Places& p) {
             const size_t index = p.info.sections.size() - 2;  // the section before the relocations
             Set32(b, p.info.sectionTableOffset + 40 * index + 16, 0xFFFFFFFFu);
         },
         nullptr, "section .reloc overlaps or precedes the one before it in memory"},
        {"resource data size near 4 GiB",
         [](Bytes& b, const Places& p) { Set32(b, p.resources + Get32(b, FirstEntryTarget(b, p, 2)) + 4, 0xFFFFFFF0u); },
         "lies outside the data of section", "lies outside the data of section"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes image = stub;
        c.damage(image, Locate(stub));
        ResourceReport report;
        std::string error;
        if (c.readRefusal) {
            EXPECT_FALSE(ReadResources(image, report, error));
            EXPECT_TRUE(Contains(error, c.readRefusal)) << error;
        } else {
            EXPECT_TRUE(ReadResources(image, report, error)) << error;
            EXPECT_EQ(report.entries.size(), 1u);
        }
        EXPECT_FALSE(UpdateResources(image, IconAndVersion({Dib(16, 16, 32)}, {}), error));
        EXPECT_TRUE(Contains(error, c.updateRefusal)) << error;
    }
}

// An image whose resource section comes last: nothing moves.
TEST_P(PeResourcesOnStub, RewritesAResourceSectionThatIsLast) {
    Bytes image = stub;
    const Places p = Locate(image);
    ASSERT_EQ(p.relocSection, &p.info.sections.back());
    const PeSection& resources = p.info.sections[p.info.sections.size() - 2];
    image.resize(p.relocSection->rawOffset);
    Set16(image, p.info.peOffset + 6, static_cast<uint32_t>(p.info.sections.size() - 1));
    for (size_t i = 0; i < 40; ++i) image[p.info.sectionTableOffset + 40 * (p.info.sections.size() - 1) + i] = 0;
    Set32(image, p.directories + 8 * 5, 0);
    Set32(image, p.directories + 8 * 5 + 4, 0);
    Set32(image, p.info.optionalHeaderOffset + 56, p.relocSection->virtualAddress);
    Set32(image, p.info.optionalHeaderOffset + 8, Get32(image, p.info.optionalHeaderOffset + 8) - p.relocSection->rawSize);

    const Bytes rewritten = Rewrite(image, IconAndVersion(ThreeImages(), {{"ProductName", "Last"}}));
    const Lines facts = Pefile({"check", Put("last-before.exe", image), Put("last.exe", rewritten)});
    for (const char* fact : {"checksum right", "sections before resources same", "sections contiguous", "SizeOfImage right",
                             "SizeOfInitializedData right", "resource directory right", "manifest same"})
        EXPECT_EQ(Fact(facts, fact), "1") << fact;
    EXPECT_EQ(Fact(facts, "bytes after last section"), "0");
    EXPECT_GT(rewritten.size(), resources.rawOffset + 256u * 256 * 4);
}

INSTANTIATE_TEST_SUITE_P(PeResources, PeResourcesOnStub, ::testing::ValuesIn(kStubs),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
