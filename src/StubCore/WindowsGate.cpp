#include "WindowsGate.h"

#include "Fatal.h"
#include "PackageMessages.h"

namespace {

constexpr uint32_t kPlatformNt = 2;             // VER_PLATFORM_WIN32_NT
constexpr uint32_t kFirstWindows11Build = 22000;
constexpr uint32_t kFirstBuildWithoutReleaseId = 19042;
// Windows 10 1507 has no ReleaseId yet (1511 brought it); its build tells.
constexpr uint32_t kWindows10OriginalBuild = 10240;
constexpr uint32_t kNoUpperBound = 9999;

// Every name the gate can refuse, without the "Windows " they all begin with,
// in one string and found by number: a table of pointers would cost a base
// relocation per name in every package, and the shared prefix once per name.
enum Name : uint8_t {
    k95,
    k98,
    kMe,
    kNt4,
    k2000,
    k2000NoServicePack,
    k2000ServicePack,
    kXp,
    kVista,
    k7,
    k8,
    k81,
    k6Dot,
    k10Dot,
    kBare,
    k10,
    k10Space,
    k11,
    k11Space,
    k11_21H2,
    k11_22H2,
    k11_23H2,
    k10_20H2,
    k10_21H1,
    k10_21H2,
    k10_22H2,
    k10_1507,
    k10_1511,
    k10_1607,
    k10_1703,
    k10_1709,
    k10_1803,
    k10_1809,
    k10_1903,
    k10_1909,
    k10_2004,
};

constexpr char16_t kNames[] =
    u"95\0"
    u"98\0"
    u"ME\0"
    u"NT 4\0"
    u"2000\0"
    u"2000 (no Service Pack)\0"
    u"2000 Service Pack \0"
    u"XP\0"
    u"Vista\0"
    u"7\0"
    u"8\0"
    u"8.1\0"
    u"6.\0"
    u"10.\0"
    u"\0"
    u"10\0"
    u"10 \0"
    u"11\0"
    u"11 \0"
    u"11 21H2 (Original Release)\0"
    u"11 22H2 (2022 Update)\0"
    u"11 23H2 (2023 Update)\0"
    u"10 20H2 (October 2020 Update)\0"
    u"10 21H1 (May 2021 Update)\0"
    u"10 21H2 (November 2021 Update)\0"
    u"10 22H2 (2022 Update)\0"
    u"10 1507 (Original Release)\0"
    u"10 1511 (November Update)\0"
    u"10 1607 (Anniversary Update)\0"
    u"10 1703 (Creators Update)\0"
    u"10 1709 (Fall Creators Update)\0"
    u"10 1803 (April 2018 Update)\0"
    u"10 1809 (October 2018 Update)\0"
    u"10 1903 (May 2019 Update)\0"
    u"10 1909 (November 2019 Update)\0"
    u"10 2004 (May 2020 Update)\0";

struct Release {
    uint32_t key;  // build number or release code, by table
    uint16_t code;
    Name name;
};

// Windows 10 releases from 20H2 on are told apart by their build number.
constexpr Release kWindows10ByBuild[] = {
    {19042, 2009, k10_20H2},
    {19043, 2105, k10_21H1},
    {19044, 2111, k10_21H2},
    {19045, 2210, k10_22H2},
};

// Earlier ones by their ReleaseId.
constexpr Release kWindows10ByReleaseId[] = {
    {1507, 1507, k10_1507}, {1511, 1511, k10_1511}, {1607, 1607, k10_1607}, {1703, 1703, k10_1703},
    {1709, 1709, k10_1709}, {1803, 1803, k10_1803}, {1809, 1809, k10_1809}, {1903, 1903, k10_1903},
    {1909, 1909, k10_1909}, {2004, 2004, k10_2004},
};

bool InRange(uint32_t code, uint16_t minimum, uint16_t maximum) {
    return minimum <= code && code <= maximum;
}

// The one-character form of a small number: 48 + d, a digit for 0 to 9.
char16_t Character(uint32_t d) { return static_cast<char16_t>(48 + d); }

bool Refuse(StubString& name, Name which) {
    const char16_t* text = kNames;
    for (unsigned n = which; n; --n)
        while (*text++) {
        }
    name.Clear();
    name.Append(u"Windows ");
    name.Append(text);
    return false;
}

bool Allow(const AllowedWindowsSet& set, unsigned element, StubString& name, Name which) {
    return set.Contains(element) || Refuse(name, which);
}

bool JudgeWindows2000(const AllowedWindowsSet& set, const WindowsFacts& facts, StubString& name) {
    if (!set.Contains(kWin2000)) return Refuse(name, k2000);
    // The service-pack rule applies only to packages that allow none of the
    // Windows 9x family.
    if (set.Contains(kWin95) || set.Contains(kWin98) || set.Contains(kWinMe)) return true;
    if (!facts.servicePackKnown || facts.servicePack >= 4) return true;
    if (facts.servicePack == 0) return Refuse(name, k2000NoServicePack);
    Refuse(name, k2000ServicePack);
    name.Append(Character(facts.servicePack));
    return false;
}

bool JudgeWindows11(const PackageHeader& header, const WindowsFacts& facts, uint32_t build,
                    StubString& name) {
    if (!header.allowedWindows.Contains(kWin11)) return Refuse(name, k11);
    StubString display;
    RegistryText(facts.displayVersion, display);
    uint32_t code;
    Name refusal;
    if (display.Equals(u"21H2") || build < 22449) {
        code = 2110, refusal = k11_21H2;
    } else if (display.Equals(u"22H2") || build <= 22621) {
        code = 2209, refusal = k11_22H2;
    } else if (display.Equals(u"23H2") || build <= 22631) {
        code = 2310, refusal = k11_23H2;
    } else {
        // A release newer than this launcher: allowed only without an upper bound.
        if (header.win11MaxRelease >= kNoUpperBound) return true;
        Refuse(name, k11Space);
        name.Append(display);
        return false;
    }
    return InRange(code, header.win11MinRelease, header.win11MaxRelease) || Refuse(name, refusal);
}

bool JudgeWindows10(const PackageHeader& header, const WindowsFacts& facts, uint32_t build,
                    StubString& name) {
    if (!header.allowedWindows.Contains(kWin10)) return Refuse(name, k10);
    const uint16_t minimum = header.win10MinRelease, maximum = header.win10MaxRelease;
    if (build < kFirstBuildWithoutReleaseId) {
        uint32_t release;
        if (facts.releaseId.readable)
            release = RegistryNumber(facts.releaseId) & 0xFFFF;
        else if (build == kWindows10OriginalBuild)
            release = 1507;
        else
            return true;
        if (InRange(release, minimum, maximum)) return true;
        for (const Release& r : kWindows10ByReleaseId)
            if (r.key == release) return Refuse(name, r.name);
        Refuse(name, k10Space);
        StubString text;
        RegistryText(facts.releaseId, text);
        name.Append(text);
        return false;
    }
    for (const Release& r : kWindows10ByBuild)
        if (r.key == build) return InRange(r.code, minimum, maximum) || Refuse(name, r.name);
    if (maximum >= kNoUpperBound) return true;
    StubString display;
    RegistryText(facts.displayVersion, display);
    Refuse(name, k10Space);
    name.Append(display);
    return false;
}

bool JudgeWindows10Or11(const PackageHeader& header, const WindowsFacts& facts, StubString& name) {
    if (!facts.keyOpened || !facts.currentBuild.readable) return true;
    const uint32_t build = RegistryNumber(facts.currentBuild);
    return build >= kFirstWindows11Build ? JudgeWindows11(header, facts, build, name)
                                         : JudgeWindows10(header, facts, build, name);
}

}  // namespace

uint32_t RegistryNumber(const RegistryReading& reading) {
    uint32_t units = reading.byteCount / 2;
    if (units > sizeof reading.bytes / 2) units = sizeof reading.bytes / 2;
    uint32_t value = 0;
    for (uint32_t i = 0; i < units; ++i) {
        const uint32_t c = reading.bytes[2 * i] | reading.bytes[2 * i + 1] << 8;
        if (c < u'0' || c > u'9') break;
        value = value * 10u + (c - u'0');  // unsigned: wraps, never overflows
    }
    return value;
}

void RegistryText(const RegistryReading& reading, StubString& text) {
    text.Clear();
    if (!reading.readable) return;
    uint32_t units = reading.byteCount / 2;
    if (units > sizeof reading.bytes / 2) units = sizeof reading.bytes / 2;
    for (uint32_t i = 0; i < units; ++i) {
        const char16_t c = static_cast<char16_t>(reading.bytes[2 * i] | reading.bytes[2 * i + 1] << 8);
        if (c == 0) break;
        text.Append(c);
    }
}

void GatherWindowsFacts(Platform& platform, WindowsFacts& facts) {
    facts.versionKnown = platform.GetVersion(facts.version);
    if (!facts.versionKnown) {
        facts.version = VersionRecord{};
        return;
    }
    const VersionRecord& v = facts.version;
    if (v.major == 5 && v.minor == 0) facts.servicePackKnown = platform.GetServicePackMajor(facts.servicePack);
    if ((v.major == 10 || v.major == 11) && v.minor == 0) {
        facts.keyOpened = platform.OpenVersionKey();
        if (facts.keyOpened) {
            platform.ReadVersionValue(kValueCurrentBuild, facts.currentBuild);
            platform.ReadVersionValue(kValueDisplayVersion, facts.displayVersion);
            platform.ReadVersionValue(kValueReleaseId, facts.releaseId);
            platform.CloseVersionKey();
        }
    }
}

bool JudgeWindows(const PackageHeader& header, const WindowsFacts& facts, StubString& name) {
    if (!facts.versionKnown) return true;
    const AllowedWindowsSet& set = header.allowedWindows;
    const uint32_t major = facts.version.major, minor = facts.version.minor;
    switch (major) {
        case 4:
            if (facts.version.platform == kPlatformNt) return Allow(set, kWinNt4, name, kNt4);
            if (minor < 4) return Allow(set, kWin95, name, k95);
            if (minor == 10) return Allow(set, kWin98, name, k98);
            return Allow(set, kWinMe, name, kMe);
        case 5:
            if (minor == 0) return JudgeWindows2000(set, facts, name);
            return Allow(set, kWinXp, name, kXp);
        case 6:
            if (minor == 0) return Allow(set, kWinVista, name, kVista);
            if (minor == 1) return Allow(set, kWin7, name, k7);
            if (minor == 2) return Allow(set, kWin8, name, k8);
            if (minor == 3) return Allow(set, kWin81, name, k81);
            // 6.4 was only ever a preview of Windows 10: refused whatever the set says.
            Refuse(name, k6Dot);
            name.Append(Character(minor));
            return false;
        case 10:
        case 11:
            if (minor == 0) return JudgeWindows10Or11(header, facts, name);
            if (set.Contains(kWinLater)) return true;
            Refuse(name, k10Dot);
            name.Append(Character(minor));
            return false;
        default:
            if (set.Contains(kWinLater)) return true;
            Refuse(name, kBare);
            name.Append(Character(major / 10));
            name.Append(Character(major % 10));
            name.Append(u'.');
            name.Append(Character(minor));
            return false;
    }
}

VersionRecord PassWindowsGate(Platform& platform, Handle file, const PackageHeader& header) {
    WindowsFacts facts;
    GatherWindowsFacts(platform, facts);
    StubString name;
    if (!JudgeWindows(header, facts, name))
        ShowPackageMessage(platform, file, header.unsupportedWindowsMessage, &name, kExitUnsupportedWindows);
    return facts.version;
}
