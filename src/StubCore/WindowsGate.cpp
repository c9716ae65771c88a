#include "WindowsGate.h"

#include "Fatal.h"
#include "PackageMessages.h"

namespace {

constexpr uint32_t kPlatformNt = 2;             // VER_PLATFORM_WIN32_NT
constexpr uint32_t kFirstWindows11Build = 22000;
constexpr uint32_t kFirstBuildWithoutReleaseId = 19042;
constexpr uint32_t kNoUpperBound = 9999;

struct Release {
    uint32_t key;  // build number or release code, by table
    uint16_t code;
    const char16_t* name;
};

// Windows 10 releases from 20H2 on are told apart by their build number.
constexpr Release kWindows10ByBuild[] = {
    {19042, 2009, u"Windows 10 20H2 (October 2020 Update)"},
    {19043, 2105, u"Windows 10 21H1 (May 2021 Update)"},
    {19044, 2111, u"Windows 10 21H2 (November 2021 Update)"},
    {19045, 2210, u"Windows 10 22H2 (2022 Update)"},
};

// Earlier ones by their ReleaseId.
constexpr Release kWindows10ByReleaseId[] = {
    {1507, 1507, u"Windows 10 1507 (Original Release)"},
    {1511, 1511, u"Windows 10 1511 (November Update)"},
    {1607, 1607, u"Windows 10 1607 (Anniversary Update)"},
    {1703, 1703, u"Windows 10 1703 (Creators Update)"},
    {1709, 1709, u"Windows 10 1709 (Fall Creators Update)"},
    {1803, 1803, u"Windows 10 1803 (April 2018 Update)"},
    {1809, 1809, u"Windows 10 1809 (October 2018 Update)"},
    {1903, 1903, u"Windows 10 1903 (May 2019 Update)"},
    {1909, 1909, u"Windows 10 1909 (November 2019 Update)"},
    {2004, 2004, u"Windows 10 2004 (May 2020 Update)"},
};

bool InRange(uint32_t code, uint16_t minimum, uint16_t maximum) {
    return minimum <= code && code <= maximum;
}

// The one-character form of a small number: 48 + d, a digit for 0 to 9.
char16_t Character(uint32_t d) { return static_cast<char16_t>(48 + d); }

bool Refuse(StubString& name, const char16_t* text) {
    name.Clear();
    name.Append(text);
    return false;
}

bool Allow(const AllowedWindowsSet& set, unsigned element, StubString& name, const char16_t* text) {
    return set.Contains(element) || Refuse(name, text);
}

bool JudgeWindows2000(const AllowedWindowsSet& set, const WindowsFacts& facts, StubString& name) {
    if (!set.Contains(kWin2000)) return Refuse(name, u"Windows 2000");
    // The service-pack rule applies only to packages that allow none of the
    // Windows 9x family.
    if (set.Contains(kWin95) || set.Contains(kWin98) || set.Contains(kWinMe)) return true;
    if (!facts.servicePackKnown || facts.servicePack >= 4) return true;
    if (facts.servicePack == 0) return Refuse(name, u"Windows 2000 (no Service Pack)");
    Refuse(name, u"Windows 2000 Service Pack ");
    name.Append(Character(facts.servicePack));
    return false;
}

bool JudgeWindows11(const PackageHeader& header, const WindowsFacts& facts, uint32_t build,
                    StubString& name) {
    if (!header.allowedWindows.Contains(kWin11)) return Refuse(name, u"Windows 11");
    StubString display;
    RegistryText(facts.displayVersion, display);
    uint32_t code;
    const char16_t* refusal;
    if (display.Equals(u"21H2") || build < 22449) {
        code = 2110, refusal = u"Windows 11 21H2 (Original Release)";
    } else if (display.Equals(u"22H2") || build <= 22621) {
        code = 2209, refusal = u"Windows 11 22H2 (2022 Update)";
    } else if (display.Equals(u"23H2") || build <= 22631) {
        code = 2310, refusal = u"Windows 11 23H2 (2023 Update)";
    } else {
        // A release newer than this launcher: allowed only without an upper bound.
        if (header.win11MaxRelease >= kNoUpperBound) return true;
        Refuse(name, u"Windows 11 ");
        name.Append(display);
        return false;
    }
    return InRange(code, header.win11MinRelease, header.win11MaxRelease) || Refuse(name, refusal);
}

bool JudgeWindows10(const PackageHeader& header, const WindowsFacts& facts, uint32_t build,
                    StubString& name) {
    if (!header.allowedWindows.Contains(kWin10)) return Refuse(name, u"Windows 10");
    const uint16_t minimum = header.win10MinRelease, maximum = header.win10MaxRelease;
    if (build < kFirstBuildWithoutReleaseId) {
        if (!facts.releaseId.readable) return true;
        const uint32_t release = RegistryNumber(facts.releaseId) & 0xFFFF;
        if (InRange(release, minimum, maximum)) return true;
        for (const Release& r : kWindows10ByReleaseId)
            if (r.key == release) return Refuse(name, r.name);
        Refuse(name, u"Windows 10 ");
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
    Refuse(name, u"Windows 10 ");
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
            if (facts.version.platform == kPlatformNt) return Allow(set, kWinNt4, name, u"Windows NT 4");
            if (minor < 4) return Allow(set, kWin95, name, u"Windows 95");
            if (minor == 10) return Allow(set, kWin98, name, u"Windows 98");
            return Allow(set, kWinMe, name, u"Windows ME");
        case 5:
            if (minor == 0) return JudgeWindows2000(set, facts, name);
            return Allow(set, kWinXp, name, u"Windows XP");
        case 6:
            if (minor == 0) return Allow(set, kWinVista, name, u"Windows Vista");
            if (minor == 1) return Allow(set, kWin7, name, u"Windows 7");
            if (minor == 2) return Allow(set, kWin8, name, u"Windows 8");
            if (minor == 3) return Allow(set, kWin81, name, u"Windows 8.1");
            // 6.4 was only ever a preview of Windows 10: refused whatever the set says.
            Refuse(name, u"Windows 6.");
            name.Append(Character(minor));
            return false;
        case 10:
        case 11:
            if (minor == 0) return JudgeWindows10Or11(header, facts, name);
            if (set.Contains(kWinLater)) return true;
            Refuse(name, u"Windows 10.");
            name.Append(Character(minor));
            return false;
        default:
            if (set.Contains(kWinLater)) return true;
            Refuse(name, u"Windows ");
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
