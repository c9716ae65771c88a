// mkpackage inspect, in words and as JSON: every field, texts and names
// escaped, and the launcher told apart from the built-in ones.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>

#include "CRC32/CRC32.h"
#include "CliRunner.h"
#include "PeImage.h"
#include "TestFiles.h"
#include "TestPackages.h"

using namespace mk;

namespace {

class Inspect : public MkpackageTest {};

TEST_F(Inspect, InspectDescribesEveryField) {
    const std::vector<std::string> args = {
        "build", "--stub", stub, "--engine32", Put("e32.bin", EngineBytes(3000, 32)), "--refuse-64bit",
        "--allow", "xp,vista,7,8,8.1,10,11,later", "--win10", "1607-2004", "--win11", "2110-",
        "--elevation", "noadmin", "--wrong-width-text", "Nur 32 Bit", "--unsupported-text",
        "Setup does not run on %USER%.", "--data", Put("d.bin", Bytes(1000, 1)), "--checked-data", "10",
        "-o", File("pkg.exe")};
    RunResult r = Mk(args);
    ASSERT_EQ(r.exitCode, 0) << Describe(args, r);
    const Bytes package = ReadBytes(File("pkg.exe"));
    const PackageLocator l = LocatorOf(package);
    r = Mk({"inspect", File("pkg.exe")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string shows[] = {
        "packageOffset      " + std::to_string(l.packageOffset),
        "checkedLength      " + std::to_string(l.checkedLength),
        "expectedFileSize   " + std::to_string(package.size()),
        "minimumFileSize    0 (off)",
        "LZMA properties    0x5D: lc 3, lp 0, pb 2; dictionary 4194304 bytes",
        "allowed Windows    xp, vista, 7, 8, 8.1, 10, 11, later (E0 0F 00 00 00 00 00 80)",
        "Windows 10         releases 1607 to 2004\n",
        "Windows 11         releases 2110 to 9999 (no upper bound)",
        "elevation          2, noadmin",
        "engine64           none; 64-bit Windows is refused",
        "1000 bytes of engine data, 10 of them checked",
        "wrong-width text   10 UTF-16 units at",
        ": \"Nur 32 Bit\"",
        ": \"Setup does not run on %USER%.\"",
        "size rule          passes",
        "CRC-32             passes",
        "after the package  nothing",
    };
    for (const std::string& s : shows) EXPECT_TRUE(Contains(r.out, s)) << s << "\n" << r.out;

    // A damaged copy is still described, with the failing checks named.
    Bytes damaged = package;
    damaged[l.packageOffset + 30] ^= 1;
    damaged.resize(damaged.size() - 3);
    r = Mk({"inspect", Put("damaged.exe", damaged)});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "size rule          FAILS")) << r.out;
    EXPECT_TRUE(Contains(r.out, "CRC-32             FAILS")) << r.out;
    EXPECT_TRUE(Contains(r.out, "the file is 3 bytes short")) << r.out;

    r = Mk({"inspect", stub});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Contains(r.err, stub + ": no package")) << r.err;
}

TEST_F(Inspect, InspectJsonEscapesTexts) {
    // Quote, backslash, line break, tab, a control character and non-ASCII.
    const std::string text = "say \"hi\" C:\\Temp\r\n\tbell\x07 \xC3\xBC \xF0\x9F\x98\x80";
    RunResult r = Mk({"build", "--stub", stub, "--engine64", Put("e.bin", EngineBytes(2000)), "--allow", "10,11",
                      "--unsupported-text", text, "-o", File("pkg.exe")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = Mk({"inspect", "--json", File("pkg.exe")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string shows[] = {
        "\"text\": \"say \\\"hi\\\" C:\\\\Temp\\r\\n\\tbell\\u0007 \xC3\xBC \xF0\x9F\x98\x80\"",
        "\"allowedWindows\": [\"10\", \"11\"]",
        "\"win10\": {\"min\": 1507, \"max\": 9999, \"noUpperBound\": true}",
        "\"engine32\": null",
        "\"refuses64BitWindows\": false",
        "\"wrongWidthMessage\": {\"offset\": 0, \"length\": 0, \"text\": \"\"}",
        "\"checks\": {\"sizeRule\": true, \"crc\": true",
        "\"bytesAfterPackage\": 0, \"certificateTable\": null,\n \"warnings\": []}",
    };
    for (const std::string& s : shows) EXPECT_TRUE(Contains(r.out, s)) << s << "\n" << r.out;
    EXPECT_EQ(r.out.front(), '{');
    EXPECT_EQ(r.out.substr(r.out.size() - 2), "}\n");

    // When python3 is at hand, it must accept the object.
    if (std::system("command -v python3 >/dev/null 2>&1") == 0) {
        WriteText(dir / "out.json", r.out);
        const std::string check = "python3 -c 'import json,sys; json.load(open(sys.argv[1]))' " + File("out.json");
        EXPECT_EQ(std::system(check.c_str()), 0) << r.out;
    }
}

// A package's texts and names come from its vendor: shown raw, ESC and C1
// controls would drive the inspector's terminal (clear it, retitle it, hide
// lines).  JSON escapes them its own way and stays valid.
TEST_F(Inspect, InspectShowsControlCharactersEscaped) {
    const std::string text = "A\x1b[2JB\x07" "C\xC2\x85" "D\xC2\x9B" "31mE";
    const std::string version = "X\x1b]0;owned\x07Y";
    // Windows file names cannot hold control characters.
    const std::string path = File(UnderWine() ? "odd.exe" : "odd\x1b[31m.exe");
    const std::vector<std::string> args = {"build", "--stub", stub, "--engine64", Put("e.bin", EngineBytes(2000)),
                                           "--allow", "all", "--wrong-width-text", "w", "--unsupported-text", text,
                                           "--version-info", "Comments=" + version, "-o", path};
    RunResult r = Mk(args);
    ASSERT_EQ(r.exitCode, 0) << Describe(args, r);

    r = Mk({"inspect", path});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const char* raw : {"\x1b", "\x07", "\xC2\x85", "\xC2\x9B"})
        EXPECT_FALSE(Contains(r.out, raw)) << "raw control character in:\n" << r.out;
    std::vector<std::string> shown = {"\"A\\x1b[2JB\\x07C\\u0085D\\u009b31mE\"", "\"X\\x1b]0;owned\\x07Y\""};
    if (!UnderWine()) shown.push_back("odd\\x1b[31m.exe: ");
    for (const std::string& s : shown) EXPECT_TRUE(Contains(r.out, s)) << s << "\n" << r.out;

    r = Mk({"inspect", "--json", path});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const char* raw : {"\x1b", "\x07"}) EXPECT_FALSE(Contains(r.out, raw)) << r.out;
    WriteText(dir / "out.json", r.out);
    WriteText(dir / "text.txt", text);
    WriteText(dir / "version.txt", version);
    WriteText(dir / "path.txt", path);
    const std::string check =
        "/usr/bin/python3 -c 'import json, sys\n"
        "d = json.load(open(sys.argv[1], encoding=\"utf-8\"))\n"
        "want = lambda n: open(n, encoding=\"utf-8\", newline=\"\").read()\n"
        "assert d[\"header\"][\"unsupportedWindowsMessage\"][\"text\"] == want(sys.argv[2])\n"
        "assert d[\"launcher\"][\"versionInfo\"][\"strings\"][\"Comments\"] == want(sys.argv[3])\n"
        "assert d[\"file\"] == want(sys.argv[4])' " +
        File("out.json") + " " + File("text.txt") + " " + File("version.txt") + " " + File("path.txt");
    EXPECT_EQ(std::system(check.c_str()), 0) << r.out;
}

TEST_F(Inspect, InspectTellsALauncherOfOneSOwn) {
    const std::string other = (fs::path(STUB32_PATH).parent_path() / "tests" / "engines" /
                               "stub32-static-mpr.exe").string();
    ASSERT_TRUE(fs::exists(other)) << other;
    const std::string engine = Put("e.bin", EngineBytes(2000, 32));
    const struct {
        std::vector<std::string> launcher;
        const char* shows;
        const char* json;
    } cases[] = {
        {{"--stub", other}, "launcher           not one built into this mkpackage (", "\"builtIn\": null"},
        {{"--icon", Put("icon.ico", SmallIcon())},
         "launcher           the built-in stub32.exe with other resources (icon or version information",
         "\"builtIn\": \"stub32.exe\", \"identical\": false"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"build", "--engine32", engine, "--refuse-64bit", "--allow", "all",
                                         "--wrong-width-text", "w", "-o", File("pkg.exe")};
        args.insert(args.begin() + 1, c.launcher.begin(), c.launcher.end());
        RunResult r = Mk(args);
        ASSERT_EQ(r.exitCode, 0) << Describe(args, r);
        r = Mk({"inspect", File("pkg.exe")});
        EXPECT_TRUE(Contains(r.out, c.shows)) << c.shows << "\n" << r.out;
        r = Mk({"inspect", "--json", File("pkg.exe")});
        EXPECT_TRUE(Contains(r.out, c.json)) << c.json << "\n" << r.out;
    }
}

// A copy of package with shift bytes of holes between the launcher image and
// the package, every offset moved along and the checksum made right again;
// change(head) may alter the launcher part first.
std::string Moved(const std::string& path, const Bytes& package, uint64_t shift,
                  const std::function<void(Bytes&)>& change = {}) {
    PackageLocator l = LocatorOf(package);
    PackageHeader h = HeaderOf(package);
    Bytes head(package.begin(), package.begin() + l.packageOffset), tail(package.begin() + l.packageOffset, package.end());
    for (uint32_t* offset : {&h.engine32.offset, &h.engine64.offset, &h.dataOffset, &h.wrongWidthMessage.offset,
                             &h.unsupportedWindowsMessage.offset})
        if (*offset != 0 && *offset != kRefuse64BitWindows) *offset += static_cast<uint32_t>(shift);
    uint8_t raw[kHeaderSize];
    SerializeHeader(h, raw);
    std::copy(raw, raw + kHeaderSize, tail.begin());
    l.packageOffset += static_cast<uint32_t>(shift);
    l.expectedSizeLow += static_cast<uint32_t>(shift);
    l.checkedCrc = Crc32Update(0, tail.data(), l.checkedLength);
    SetLocator(head, l);
    if (change) change(head);
    MakeSparse(path, l.packageOffset + tail.size(), head);
    const int fd = open(path.c_str(), O_WRONLY);
    EXPECT_EQ(pwrite(fd, tail.data(), tail.size(), static_cast<off_t>(l.packageOffset)), static_cast<ssize_t>(tail.size()));
    close(fd);
    return path;
}

// A package may sit gigabytes into its file, after holes no launcher reads.
// inspect shows the launcher for what it is, and what lies between, in
// memory and time bounded by what it shows, not by the offsets the file
// claims (a 48 KB file with its package 3 GiB in once took 9.4 GB and half
// a minute).  A PE image claiming gigabytes of its own is described, not
// read.
TEST_F(Inspect, APackageFarIntoItsFileIsShownInLittleMemory) {
    const Bytes package = ReadBytes(MakePackage("pkg.exe"));
    const uint64_t launcher = LocatorOf(package).packageOffset, shift = 3ull << 30;
    const std::string far = Moved(File("far.exe"), package, shift);
    // The launcher's last section claims to reach up to the package.
    const std::string huge = Moved(File("huge.exe"), package, shift, [&](Bytes& head) {
        PeInfo info;
        std::string error;
        ASSERT_TRUE(ParsePe(head, info, error)) << error;
        const size_t last = info.sectionTableOffset + 40 * (info.sections.size() - 1);
        const uint32_t rawSize = static_cast<uint32_t>(launcher + shift - info.sections.back().rawOffset);
        for (int i = 0; i < 4; ++i) head[last + 16 + i] = static_cast<uint8_t>(rawSize >> (8 * i));
    });
    const struct {
        std::string path;
        std::vector<std::string> text, json;
    } cases[] = {
        {far,
         {"launcher (bytes 0-" + std::to_string(launcher - 1) + ")\n",
          "launcher           the built-in stub32.exe, byte for byte (" + std::to_string(launcher) + " bytes)",
          "before the package " + std::to_string(shift) + " bytes after the image, up to the package at " +
              std::to_string(launcher + shift) + ": no part of the launcher",
          "CRC-32             passes", "engine64 decoding  passes"},
         {"\"launcher\": {\"size\": " + std::to_string(launcher) + ", \"bytesBeforePackage\": " +
              std::to_string(shift) + ", \"examined\": true, \"builtIn\": \"stub32.exe\", \"identical\": true"}},
        {huge,
         {"launcher           a PE image of " + std::to_string(launcher + shift) +
              " bytes, larger than any launcher: not examined",
          "icon               none", "CRC-32             passes"},
         {"\"launcher\": {\"size\": " + std::to_string(launcher + shift) +
              ", \"bytesBeforePackage\": 0, \"examined\": false, \"builtIn\": null"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const RunResult text = Mk({"inspect", c.path}), json = Mk({"inspect", "--json", c.path});
        ASSERT_EQ(text.exitCode, 0) << text.err;
        ASSERT_EQ(json.exitCode, 0) << json.err;
        for (const std::string& s : c.text) EXPECT_TRUE(Contains(text.out, s)) << s << "\n" << text.out;
        for (const std::string& s : c.json) EXPECT_TRUE(Contains(json.out, s)) << s << "\n" << json.out;
        for (const RunResult* r : {&text, &json}) EXPECT_LT(r->peakRss, kSmallPeak);
        const RunResult verify = Mk({"verify", c.path});
        EXPECT_EQ(verify.exitCode, 0) << verify.err;
    }
}

// A version string may hold a lone surrogate, which has no UTF-8 form: it
// is shown escaped, in words and in JSON alike, not dropped or mangled.
TEST_F(Inspect, ALoneSurrogateInAVersionStringIsShownEscaped) {
    Bytes package = ReadBytes(MakePackage("pkg.exe", 2000, {"--version-info", "Comments=X@Z"}));
    const Bytes text = {'X', 0, '@', 0, 'Z', 0};
    const auto at = std::search(package.begin(), package.end(), text.begin(), text.end());
    ASSERT_NE(at, package.end());
    at[2] = 0x00, at[3] = 0xD8;  // '@' becomes U+D800, alone
    Put("pkg.exe", package);
    const RunResult words = Mk({"inspect", File("pkg.exe")}), json = Mk({"inspect", "--json", File("pkg.exe")});
    EXPECT_TRUE(Contains(words.out, "Comments         \"X\\ud800Z\"")) << words.out;
    EXPECT_TRUE(Contains(json.out, "\"Comments\": \"X\\ud800Z\"")) << json.out;
}

}  // namespace
