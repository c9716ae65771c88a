// The Windows version gate: which Windows versions (and Windows 10 and 11
// releases) a package lets its engine run on, and the name under which any
// other is refused.  The table runs each row through the simulated Windows,
// so the facts are gathered exactly as a real run gathers them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "FakeWindows.h"
#include "StubCore/WindowsGate.h"
#include "TestPackages.h"

namespace {

constexpr uint32_t kNt = 2;       // VER_PLATFORM_WIN32_NT
constexpr uint32_t kWin9x = 1;    // VER_PLATFORM_WIN32_WINDOWS

uint64_t Only(unsigned element) { return uint64_t{1} << element; }
uint64_t AllBut(unsigned element) { return ~Only(element); }

AllowedWindowsSet SetOf(uint64_t mask) {
    AllowedWindowsSet set{};
    for (int i = 0; i < 8; ++i) set.bytes[i] = static_cast<uint8_t>(mask >> (8 * i));
    return set;
}

// The same without the NUL (a value written carelessly).
Bytes Unterminated(const std::u16string& text) {
    Bytes bytes = RegistryString(text);
    bytes.resize(bytes.size() - 2);
    return bytes;
}

struct GateCase {
    std::string label;
    bool versionKnown = true;
    VersionRecord version{10, 0, kNt};
    int servicePack = -1;  // -1: the service-pack query fails
    bool keyOpens = true;
    std::map<std::u16string, Bytes> registry;
    uint64_t allowed = 0;
    uint16_t win10Min = 1507, win10Max = 9999, win11Min = 2110, win11Max = 9999;
    std::optional<std::u16string> refusedAs;  // empty: the gate lets the run go on

    GateCase Allowed(uint64_t mask) const { GateCase c = *this; c.allowed = mask; return c; }
    GateCase Sp(int sp) const { GateCase c = *this; c.servicePack = sp; return c; }
    GateCase Value(const std::u16string& name, const Bytes& bytes) const {
        GateCase c = *this;
        c.registry[name] = bytes;
        return c;
    }
    GateCase Display(const std::u16string& text) const { return Value(kValueDisplayVersion, RegistryString(text)); }
    GateCase ReleaseId(const std::u16string& text) const { return Value(kValueReleaseId, RegistryString(text)); }
    GateCase Win10Range(uint16_t lo, uint16_t hi) const { GateCase c = *this; c.win10Min = lo; c.win10Max = hi; return c; }
    GateCase Win11Range(uint16_t lo, uint16_t hi) const { GateCase c = *this; c.win11Min = lo; c.win11Max = hi; return c; }
    GateCase KeyFails() const { GateCase c = *this; c.keyOpens = false; return c; }
    GateCase Refuses(const std::u16string& name) const { GateCase c = *this; c.refusedAs = name; return c; }
};

GateCase Case(const std::string& label, uint32_t major, uint32_t minor, uint32_t platform = kNt) {
    GateCase c;
    c.label = label;
    c.version = {major, minor, platform};
    return c;
}

// Windows 10 or 11 as the manifest makes them report: 10.0, told apart by the build.
GateCase Build(const std::string& label, const std::u16string& build, uint32_t major = 10) {
    return Case(label, major, 0).Value(kValueCurrentBuild, RegistryString(build));
}

std::vector<GateCase> GateCases() {
    const std::u16string w10 = u"Windows 10 ";
    return {
        // -- Windows 9x and NT 4: the platform id tells NT 4 from the 9x family.
        Case("Win95Allowed", 4, 0, kWin9x).Allowed(Only(kWin95)),
        Case("Win95Refused", 4, 0, kWin9x).Allowed(AllBut(kWin95)).Refuses(u"Windows 95"),
        Case("Win95Minor3Refused", 4, 3, kWin9x).Allowed(AllBut(kWin95)).Refuses(u"Windows 95"),
        Case("Win98Allowed", 4, 10, kWin9x).Allowed(Only(kWin98)),
        Case("Win98Refused", 4, 10, kWin9x).Allowed(AllBut(kWin98)).Refuses(u"Windows 98"),
        Case("WinMeAllowed", 4, 90, kWin9x).Allowed(Only(kWinMe)),
        Case("WinMeRefused", 4, 90, kWin9x).Allowed(AllBut(kWinMe)).Refuses(u"Windows ME"),
        Case("Minor4On9xCountsAsMe", 4, 4, kWin9x).Allowed(AllBut(kWinMe)).Refuses(u"Windows ME"),
        Case("Nt4Allowed", 4, 0, kNt).Allowed(Only(kWinNt4)),
        Case("Nt4Refused", 4, 0, kNt).Allowed(AllBut(kWinNt4)).Refuses(u"Windows NT 4"),
        Case("Nt4WithMinor10IsStillNt4", 4, 10, kNt).Allowed(AllBut(kWinNt4)).Refuses(u"Windows NT 4"),

        // -- Windows 2000 and its service packs.  The service-pack rule holds
        // only for packages that allow none of 95, 98 and ME.
        Case("Win2000Refused", 5, 0).Allowed(AllBut(kWin2000)).Sp(4).Refuses(u"Windows 2000"),
        Case("Win2000Sp0Refused", 5, 0).Allowed(Only(kWin2000)).Sp(0).Refuses(u"Windows 2000 (no Service Pack)"),
        Case("Win2000Sp1Refused", 5, 0).Allowed(Only(kWin2000)).Sp(1).Refuses(u"Windows 2000 Service Pack 1"),
        Case("Win2000Sp2Refused", 5, 0).Allowed(Only(kWin2000)).Sp(2).Refuses(u"Windows 2000 Service Pack 2"),
        Case("Win2000Sp3Refused", 5, 0).Allowed(Only(kWin2000)).Sp(3).Refuses(u"Windows 2000 Service Pack 3"),
        Case("Win2000Sp4Allowed", 5, 0).Allowed(Only(kWin2000)).Sp(4),
        Case("Win2000Sp5Allowed", 5, 0).Allowed(Only(kWin2000)).Sp(5),
        Case("Win2000FailedSpQueryAllowed", 5, 0).Allowed(Only(kWin2000)).Sp(-1),
        Case("Win2000Sp2With98Allowed", 5, 0).Allowed(Only(kWin2000) | Only(kWin98)).Sp(2),
        Case("Win2000Sp0With95Allowed", 5, 0).Allowed(Only(kWin2000) | Only(kWin95)).Sp(0),
        Case("Win2000Sp0WithMeAllowed", 5, 0).Allowed(Only(kWin2000) | Only(kWinMe)).Sp(0),
        // Other elements (NT 4, XP, "later") do not switch the rule off.
        Case("Win2000Sp0AllBut9xRefused", 5, 0)
            .Allowed(~(Only(kWin95) | Only(kWin98) | Only(kWinMe)))
            .Sp(0)
            .Refuses(u"Windows 2000 (no Service Pack)"),

        // -- XP (5.1, and 5.2 for XP x64 and Server 2003) and the 6.x family.
        Case("XpAllowed", 5, 1).Allowed(Only(kWinXp)),
        Case("XpRefused", 5, 1).Allowed(AllBut(kWinXp)).Refuses(u"Windows XP"),
        Case("Xp64Allowed", 5, 2).Allowed(Only(kWinXp)),
        Case("Xp64Refused", 5, 2).Allowed(AllBut(kWinXp)).Refuses(u"Windows XP"),
        Case("VistaAllowed", 6, 0).Allowed(Only(kWinVista)),
        Case("VistaRefused", 6, 0).Allowed(AllBut(kWinVista)).Refuses(u"Windows Vista"),
        Case("Win7Allowed", 6, 1).Allowed(Only(kWin7)),
        Case("Win7Refused", 6, 1).Allowed(AllBut(kWin7)).Refuses(u"Windows 7"),
        Case("Win8Allowed", 6, 2).Allowed(Only(kWin8)),
        Case("Win8Refused", 6, 2).Allowed(AllBut(kWin8)).Refuses(u"Windows 8"),
        Case("Win81Allowed", 6, 3).Allowed(Only(kWin81)),
        Case("Win81Refused", 6, 3).Allowed(AllBut(kWin81)).Refuses(u"Windows 8.1"),
        // 6.4 was a Windows 10 preview: refused whatever the set holds.
        Case("Version64RefusedEvenWithEverything", 6, 4).Allowed(~uint64_t{0}).Refuses(u"Windows 6.4"),
        Case("Version64RefusedWithLaterOnly", 6, 4).Allowed(Only(kWinLater)).Refuses(u"Windows 6.4"),
        Case("Version65Refused", 6, 5).Allowed(~uint64_t{0}).Refuses(u"Windows 6.5"),

        // -- 10.x and 11.x with a nonzero minor: a later Windows.
        Case("Version101Refused", 10, 1).Allowed(AllBut(kWinLater)).Refuses(u"Windows 10.1"),
        Case("Version101AllowedAsLater", 10, 1).Allowed(Only(kWinLater)),
        Case("Version112RefusedAs10", 11, 2).Allowed(AllBut(kWinLater)).Refuses(u"Windows 10.2"),
        Case("Version111AllowedAsLater", 11, 1).Allowed(Only(kWinLater)),

        // -- majors the launcher does not know: two digits, a dot, the minor.
        Case("Version120Refused", 12, 0).Allowed(AllBut(kWinLater)).Refuses(u"Windows 12.0"),
        Case("Version120AllowedAsLater", 12, 0).Allowed(Only(kWinLater)),
        Case("Version70Refused", 7, 0).Allowed(AllBut(kWinLater)).Refuses(u"Windows 07.0"),
        Case("Version31Refused", 3, 1).Allowed(AllBut(kWinLater)).Refuses(u"Windows 03.1"),
        Case("Version213Refused", 21, 3).Allowed(AllBut(kWinLater)).Refuses(u"Windows 21.3"),
        Case("Version90AllowedAsLater", 9, 0).Allowed(Only(kWinLater)),

        // -- facts that cannot be had never refuse.
        [] {
            GateCase c = Case("FailedVersionQueryGoesOn", 6, 1).Allowed(0);
            c.versionKnown = false;
            return c;
        }(),
        Build("VersionKeyDoesNotOpen", u"19045").Allowed(0).KeyFails(),
        Case("CurrentBuildMissing", 10, 0).Allowed(0),
        Case("CurrentBuildTooLong", 10, 0).Allowed(0).Value(kValueCurrentBuild, RegistryString(std::u16string(64, u'1'))),

        // -- Windows 10 and 11 themselves.
        Build("Win10Refused", u"19045").Allowed(AllBut(kWin10)).Refuses(u"Windows 10"),
        Build("Win11Refused", u"22000").Allowed(AllBut(kWin11)).Refuses(u"Windows 11"),
        Build("Win11ReportedAs110Refused", u"22631", 11).Allowed(AllBut(kWin11)).Refuses(u"Windows 11"),
        // 4294989296 = 2^32 + 22000: the build number wraps to a Windows 11 build.
        Build("WrappedBuildIsWin11", u"4294989296").Allowed(AllBut(kWin11)).Refuses(u"Windows 11"),
        Build("BuildStopsAtNonDigit", u"19045.3803").Allowed(Only(kWin10)).Win10Range(2211, 9999)
            .Refuses(u"Windows 10 22H2 (2022 Update)"),

        // -- Windows 10 before 20H2: judged by ReleaseId, refused by its name.
        Build("Rel1507", u"10240").Allowed(Only(kWin10)).Win10Range(2009, 9999).ReleaseId(u"1507")
            .Refuses(u"Windows 10 1507 (Original Release)"),
        Build("Rel1511", u"10586").Allowed(Only(kWin10)).Win10Range(2009, 9999).ReleaseId(u"1511")
            .Refuses(u"Windows 10 1511 (November Update)"),
        Build("Rel1607", u"14393").Allowed(Only(kWin10)).Win10Range(2009, 9999).ReleaseId(u"1607")
            .Refuses(u"Windows 10 1607 (Anniversary Update)"),
        Build("Rel1703", u"15063").Allowed(Only(kWin10)).Win10Range(2009, 9999).ReleaseId(u"1703")
            .Refuses(u"Windows 10 1703 (Creators Update)"),
        Build("Rel1709", u"16299").Allowed(Only(kWin10)).Win10Range(2009, 9999).ReleaseId(u"1709")
            .Refuses(u"Windows 10 1709 (Fall Creators Update)"),
        Build("Rel1803", u"17134").Allowed(Only(kWin10)).Win10Range(2009, 9999).ReleaseId(u"1803")
            .Refuses(u"Windows 10 1803 (April 2018 Update)"),
        Build("Rel1809", u"17763").Allowed(Only(kWin10)).Win10Range(2009, 9999).ReleaseId(u"1809")
            .Refuses(u"Windows 10 1809 (October 2018 Update)"),
        Build("Rel1903", u"18362").Allowed(Only(kWin10)).Win10Range(2009, 9999).ReleaseId(u"1903")
            .Refuses(u"Windows 10 1903 (May 2019 Update)"),
        Build("Rel1909", u"18363").Allowed(Only(kWin10)).Win10Range(2009, 9999).ReleaseId(u"1909")
            .Refuses(u"Windows 10 1909 (November 2019 Update)"),
        Build("Rel2004", u"19041").Allowed(Only(kWin10)).Win10Range(2009, 9999).ReleaseId(u"2004")
            .Refuses(u"Windows 10 2004 (May 2020 Update)"),
        Build("RelAboveMaximum", u"18363").Allowed(Only(kWin10)).Win10Range(1507, 1903).ReleaseId(u"1909")
            .Refuses(u"Windows 10 1909 (November 2019 Update)"),
        Build("RelUnnamedRefusedByItsText", u"19041").Allowed(Only(kWin10)).Win10Range(2009, 9999)
            .ReleaseId(u"1910").Refuses(w10 + u"1910"),
        Build("RelNotANumberRefusedByItsText", u"19041").Allowed(Only(kWin10)).Win10Range(1507, 9999)
            .ReleaseId(u"abc").Refuses(w10 + u"abc"),
        Build("RelBothBoundsInclusive", u"17763").Allowed(Only(kWin10)).Win10Range(1809, 1809).ReleaseId(u"1809"),
        Build("RelUnreadableGoesOn", u"19041").Allowed(Only(kWin10)).Win10Range(2009, 9999),
        // 1507 has no ReleaseId (1511 brought it): build 10240 without one is 1507.
        Build("B10240WithoutReleaseIdIs1507Refused", u"10240").Allowed(Only(kWin10)).Win10Range(1809, 9999)
            .Refuses(u"Windows 10 1507 (Original Release)"),
        Build("B10240WithoutReleaseIdIs1507Allowed", u"10240").Allowed(Only(kWin10)).Win10Range(1507, 1507),
        Build("B10240WithReleaseIdTakesIt", u"10240").Allowed(Only(kWin10)).Win10Range(1511, 1511).ReleaseId(u"1511"),
        Build("B10241WithoutReleaseIdGoesOn", u"10241").Allowed(Only(kWin10)).Win10Range(1809, 9999),
        Build("RelTooLongGoesOn", u"19041").Allowed(Only(kWin10)).Win10Range(2009, 9999)
            .ReleaseId(std::u16string(64, u'9')),
        // 67043 = 65536 + 1507: only the low 16 bits are the release.
        Build("RelLow16BitsInRange", u"19041").Allowed(Only(kWin10)).Win10Range(1507, 1507).ReleaseId(u"67043"),
        Build("RelLow16BitsNamed", u"19041").Allowed(Only(kWin10)).Win10Range(1511, 9999).ReleaseId(u"67043")
            .Refuses(u"Windows 10 1507 (Original Release)"),
        // The Windows 11 range has no say over Windows 10.
        Build("RelIgnoresWin11Range", u"19041").Allowed(Only(kWin10)).Win11Range(9000, 9000).ReleaseId(u"2004"),

        // -- Windows 10 from 20H2 on: judged by build; DisplayVersion only names
        // builds the launcher does not know, and ReleaseId is not looked at.
        Build("B19042Refused", u"19042").Allowed(Only(kWin10)).Win10Range(2211, 9999).Display(u"22H2")
            .Refuses(u"Windows 10 20H2 (October 2020 Update)"),
        Build("B19043Refused", u"19043").Allowed(Only(kWin10)).Win10Range(2211, 9999).Display(u"22H2")
            .Refuses(u"Windows 10 21H1 (May 2021 Update)"),
        Build("B19044Refused", u"19044").Allowed(Only(kWin10)).Win10Range(2211, 9999).Display(u"22H2")
            .Refuses(u"Windows 10 21H2 (November 2021 Update)"),
        Build("B19045Refused", u"19045").Allowed(Only(kWin10)).Win10Range(2211, 9999).Display(u"21H2")
            .Refuses(u"Windows 10 22H2 (2022 Update)"),
        Build("B19045BelowMinimumByName", u"19045").Allowed(Only(kWin10)).Win10Range(1507, 2209)
            .Refuses(u"Windows 10 22H2 (2022 Update)"),
        Build("B19045AtBothBounds", u"19045").Allowed(Only(kWin10)).Win10Range(2210, 2210).Display(u"21H2"),
        Build("B19042AtMaximum", u"19042").Allowed(Only(kWin10)).Win10Range(1507, 2009),
        Build("B19043JustBelowMinimum", u"19043").Allowed(Only(kWin10)).Win10Range(2106, 9999)
            .Refuses(u"Windows 10 21H1 (May 2021 Update)"),
        Build("B19042IgnoresReleaseId", u"19042").Allowed(Only(kWin10)).Win10Range(2009, 2009).ReleaseId(u"1507"),
        Build("B19046OpenEnded", u"19046").Allowed(Only(kWin10)).Win10Range(1507, 9999).Display(u"22H2"),
        Build("B19046AboveOpenEnded", u"19046").Allowed(Only(kWin10)).Win10Range(1507, 10000).Display(u"22H2"),
        Build("B19046MinimumNotConsulted", u"19046").Allowed(Only(kWin10)).Win10Range(9000, 9999),
        Build("B19046Refused", u"19046").Allowed(Only(kWin10)).Win10Range(1507, 9998).Display(u"23H2")
            .Refuses(w10 + u"23H2"),
        Build("B21999RefusedByDisplayVersion", u"21999").Allowed(Only(kWin10)).Win10Range(1507, 2210)
            .Display(u"24H1").Refuses(w10 + u"24H1"),
        Build("B19046UnreadableDisplayVersion", u"19046").Allowed(Only(kWin10)).Win10Range(1507, 2210)
            .Refuses(w10),
        Build("Win10IgnoresWin11Range", u"19046").Allowed(Only(kWin10)).Win10Range(1507, 2210)
            .Win11Range(2110, 9999).Display(u"22H2").Refuses(w10 + u"22H2"),

        // -- Windows 11: the first matching row decides.
        Build("W11B22000Code2110", u"22000").Allowed(Only(kWin11)).Win11Range(2209, 9999)
            .Refuses(u"Windows 11 21H2 (Original Release)"),
        Build("W11B22448Code2110", u"22448").Allowed(Only(kWin11)).Win11Range(2209, 9999)
            .Refuses(u"Windows 11 21H2 (Original Release)"),
        Build("W11B22000At2110", u"22000").Allowed(Only(kWin11)).Win11Range(2110, 2110),
        Build("W11B22449Code2209", u"22449").Allowed(Only(kWin11)).Win11Range(2110, 2110)
            .Refuses(u"Windows 11 22H2 (2022 Update)"),
        Build("W11B22621Code2209", u"22621").Allowed(Only(kWin11)).Win11Range(2310, 9999)
            .Refuses(u"Windows 11 22H2 (2022 Update)"),
        Build("W11B22622Code2310", u"22622").Allowed(Only(kWin11)).Win11Range(2110, 2209)
            .Refuses(u"Windows 11 23H2 (2023 Update)"),
        Build("W11B22631NoDisplayCode2310", u"22631").Allowed(Only(kWin11)).Win11Range(2110, 2209)
            .Refuses(u"Windows 11 23H2 (2023 Update)"),
        Build("W11B22631At2310", u"22631").Allowed(Only(kWin11)).Win11Range(2310, 2310),
        Build("W11B22631BelowMinimum", u"22631").Allowed(Only(kWin11)).Win11Range(2311, 9999)
            .Refuses(u"Windows 11 23H2 (2023 Update)"),
        Build("W11B22632NoDisplayRefusedBare", u"22632").Allowed(Only(kWin11)).Win11Range(2110, 9998)
            .Refuses(u"Windows 11 "),
        Build("W11B22632NoDisplayOpenEnded", u"22632").Allowed(Only(kWin11)).Win11Range(2110, 9999),
        // DisplayVersion picks the row before the build does.
        Build("W11Display21H2OnNewBuild", u"26100").Allowed(Only(kWin11)).Win11Range(2110, 2110).Display(u"21H2"),
        Build("W11Display21H2Refused", u"26100").Allowed(Only(kWin11)).Win11Range(2209, 9999).Display(u"21H2")
            .Refuses(u"Windows 11 21H2 (Original Release)"),
        Build("W11EarlyBuildBeatsDisplay22H2", u"22000").Allowed(Only(kWin11)).Win11Range(2209, 9999)
            .Display(u"22H2").Refuses(u"Windows 11 21H2 (Original Release)"),
        Build("W11Display22H2OnNewBuild", u"26100").Allowed(Only(kWin11)).Win11Range(2209, 2209).Display(u"22H2"),
        Build("W11Build22500BeatsDisplay23H2", u"22500").Allowed(Only(kWin11)).Win11Range(2310, 9999)
            .Display(u"23H2").Refuses(u"Windows 11 22H2 (2022 Update)"),
        Build("W11Display23H2Refused", u"26100").Allowed(Only(kWin11)).Win11Range(2110, 2209).Display(u"23H2")
            .Refuses(u"Windows 11 23H2 (2023 Update)"),
        Build("W11B26100OpenEnded", u"26100").Allowed(Only(kWin11)).Win11Range(2110, 9999).Display(u"24H2"),
        Build("W11B26100AboveOpenEnded", u"26100").Allowed(Only(kWin11)).Win11Range(2110, 10000).Display(u"24H2"),
        Build("W11B26100MinimumNotConsulted", u"26100").Allowed(Only(kWin11)).Win11Range(9000, 9999).Display(u"24H2"),
        Build("W11B26100Refused", u"26100").Allowed(Only(kWin11)).Win11Range(2110, 2310).Display(u"24H2")
            .Refuses(u"Windows 11 24H2"),
        Build("W11DisplayComparedWithCase", u"26100").Allowed(Only(kWin11)).Win11Range(2110, 2310)
            .Display(u"21h2").Refuses(u"Windows 11 21h2"),
        Build("W11DisplayUpToNul", u"26100").Allowed(Only(kWin11)).Win11Range(2110, 2310)
            .Value(kValueDisplayVersion, RegistryString(std::u16string(u"24H2\0junk", 9)))
            .Refuses(u"Windows 11 24H2"),
        Build("W11DisplayOf64UnitsWithoutNul", u"26100").Allowed(Only(kWin11)).Win11Range(2110, 2310)
            .Value(kValueDisplayVersion, Unterminated(std::u16string(64, u'X')))
            .Refuses(u"Windows 11 " + std::u16string(64, u'X')),
        Build("W11DisplayTooLongIsEmpty", u"26100").Allowed(Only(kWin11)).Win11Range(2110, 2310)
            .Display(std::u16string(64, u'X')).Refuses(u"Windows 11 "),
        Build("W11IgnoresWin10Range", u"26100").Allowed(Only(kWin11)).Win10Range(1507, 1507).Display(u"24H2"),
    };
}

void PrintTo(const GateCase& c, std::ostream* os) { *os << c.label; }

class WindowsGateTable : public ::testing::TestWithParam<GateCase> {};

TEST_P(WindowsGateTable, JudgesTheRunningWindows) {
    const GateCase& c = GetParam();
    FakeWindows fake;
    fake.versionQuerySucceeds = c.versionKnown;
    fake.version = c.version;
    fake.servicePackQuerySucceeds = c.servicePack >= 0;
    fake.servicePack = c.servicePack >= 0 ? static_cast<uint32_t>(c.servicePack) : 0;
    fake.versionKeyOpens = c.keyOpens;
    fake.registry = c.registry;

    PackageHeader header{};
    header.allowedWindows = SetOf(c.allowed);
    header.win10MinRelease = c.win10Min;
    header.win10MaxRelease = c.win10Max;
    header.win11MinRelease = c.win11Min;
    header.win11MaxRelease = c.win11Max;

    WindowsFacts facts;
    GatherWindowsFacts(fake, facts);
    StubString name;
    const bool goesOn = JudgeWindows(header, facts, name);
    if (c.refusedAs) {
        EXPECT_FALSE(goesOn);
        EXPECT_EQ(std::u16string(name.Text()), *c.refusedAs)
            << Narrow(name.Text()) << " instead of " << Narrow(*c.refusedAs);
    } else {
        EXPECT_TRUE(goesOn) << "refused as " << Narrow(name.Text());
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, WindowsGateTable, ::testing::ValuesIn(GateCases()),
                         [](const ::testing::TestParamInfo<GateCase>& info) { return info.param.label; });

// -- reading numbers out of registry values ------------------------------------

RegistryReading Reading(const Bytes& bytes, uint32_t byteCount) {
    RegistryReading r;
    r.readable = true;
    std::memcpy(r.bytes, bytes.data(), std::min(bytes.size(), sizeof r.bytes));
    r.byteCount = byteCount;
    return r;
}

TEST(WindowsGate, RegistryNumberReadsLeadingDigits) {
    struct Row {
        const char* what;
        Bytes bytes;
        uint32_t byteCount;
        uint32_t expected;
    };
    const Bytes b12345 = RegistryString(u"12345");
    const std::vector<Row> rows = {
        {"plain build", RegistryString(u"19045"), 12, 19045},
        {"stops at a non-digit", RegistryString(u"19045.3803"), 22, 19045},
        {"no digit at all", RegistryString(u"abc"), 8, 0},
        {"empty value", Bytes{}, 0, 0},
        // 99999999999 mod 2^32: the arithmetic wraps instead of overflowing.
        {"wraps at 32 bits", RegistryString(u"99999999999"), 24, 1215752191u},
        // An odd byte count ends with half a unit, which is not read.
        {"odd byte count", b12345, 5, 12},
        {"one byte", b12345, 1, 0},
        // Only whole UTF-16 units count as digits: '1' with a high byte is no digit.
        {"high byte set", Bytes{'2', 0, '1', 1, '3', 0}, 6, 2},
        {"digits beyond the count are ignored", b12345, 6, 123},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(RegistryNumber(Reading(row.bytes, row.byteCount)), row.expected);
    }
    // A long run of digits, checked against the same arithmetic done with a
    // 64-bit accumulator reduced after every step.
    const std::u16string digits = u"98765432109876543210987654321";
    uint64_t expected = 0;
    for (char16_t c : digits) expected = (expected * 10 + (c - u'0')) & 0xFFFFFFFFu;
    EXPECT_EQ(RegistryNumber(Reading(RegistryString(digits), static_cast<uint32_t>(2 * digits.size()))),
              static_cast<uint32_t>(expected));
}

TEST(WindowsGate, RegistryTextStopsAtNulOr64Units) {
    StubString text;
    RegistryText(Reading(RegistryString(u"22H2"), 10), text);
    EXPECT_EQ(std::u16string(text.Text()), u"22H2");
    RegistryText(Reading(Unterminated(std::u16string(64, u'A')), 128), text);
    EXPECT_EQ(std::u16string(text.Text()), std::u16string(64, u'A'));
    RegistryReading unreadable = Reading(RegistryString(u"22H2"), 10);
    unreadable.readable = false;
    RegistryText(unreadable, text);
    EXPECT_TRUE(text.IsEmpty());
}

// -- which facts are asked for ------------------------------------------------

TEST(WindowsGate, AsksServicePackOnlyOn50AndRegistryOnlyOn100And110) {
    struct Row {
        uint32_t major, minor;
        bool versionKnown;
        int servicePackQueries, keyOpenings;
    };
    const Row rows[] = {
        {4, 0, true, 0, 0},  {5, 0, true, 1, 0},  {5, 1, true, 0, 0},   {5, 2, true, 0, 0},
        {6, 0, true, 0, 0},  {6, 3, true, 0, 0},  {6, 4, true, 0, 0},   {10, 0, true, 0, 1},
        {11, 0, true, 0, 1}, {10, 1, true, 0, 0}, {11, 1, true, 0, 0},  {12, 0, true, 0, 0},
        {5, 0, false, 0, 0}, {10, 0, false, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.major) + "." + std::to_string(row.minor) +
                     (row.versionKnown ? "" : " (query fails)"));
        FakeWindows fake;
        fake.version = {row.major, row.minor, kNt};
        fake.versionQuerySucceeds = row.versionKnown;
        fake.SetRegistryText(kValueCurrentBuild, u"19045");
        WindowsFacts facts;
        GatherWindowsFacts(fake, facts);
        EXPECT_EQ(fake.servicePackQueries, row.servicePackQueries);
        EXPECT_EQ(fake.versionKeyOpenings, row.keyOpenings);
        // An opened key is closed again, exactly once.
        EXPECT_EQ(std::count(fake.events.begin(), fake.events.end(), "close key"), row.keyOpenings);
        if (!row.versionKnown) {
            EXPECT_EQ(facts.version.major, 0u);
            EXPECT_EQ(facts.version.minor, 0u);
            EXPECT_EQ(facts.version.platform, 0u);
        }
    }
}

TEST(WindowsGate, KeyThatDoesNotOpenIsNeitherReadNorClosed) {
    FakeWindows fake;
    fake.versionKeyOpens = false;
    fake.SetRegistryText(kValueCurrentBuild, u"19045");
    WindowsFacts facts;
    GatherWindowsFacts(fake, facts);
    EXPECT_EQ(fake.versionKeyOpenings, 1);
    EXPECT_TRUE(fake.valuesRead.empty());
    EXPECT_EQ(std::count(fake.events.begin(), fake.events.end(), "close key"), 0);
}

// -- whole runs -----------------------------------------------------------------

TEST(WindowsGate, RefusalShowsThePackageTextWithTheWindowsName) {
    struct Row {
        VersionRecord version;
        const char16_t* build;
        const char16_t* expectedText;
    };
    const Row rows[] = {
        {{6, 1, kNt}, nullptr, u"Setup does not run on Windows 7."},
        {{10, 0, kNt}, u"19045", u"Setup does not run on Windows 10 22H2 (2022 Update)."},
        {{5, 0, kNt}, nullptr, u"Setup does not run on Windows 2000 Service Pack 3."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Narrow(row.expectedText));
        FakeWindows fake;
        fake.version = row.version;
        fake.servicePack = 3;
        if (row.build) fake.SetRegistryText(kValueCurrentBuild, row.build);
        PackageRecipe recipe = SoundRecipe();
        recipe.allowedWindows = SetOf(~(Only(kWin7) | Only(kWin95) | Only(kWin98) | Only(kWinMe)));
        recipe.win10MaxRelease = 2209;
        InstallPackage(fake, BuildPackage(recipe));

        const RunOutcome outcome = RunLauncherOn(fake);
        EXPECT_FALSE(outcome.returnedNormally);
        EXPECT_EQ(outcome.exitCode, 1150u);
        ASSERT_EQ(fake.messages.size(), 1u);
        EXPECT_EQ(fake.messages[0].text, row.expectedText) << Narrow(fake.messages[0].text);
        EXPECT_EQ(fake.messages[0].caption, fake.modulePath);
        EXPECT_EQ(fake.messages[0].style, 0x10u);
        EXPECT_TRUE(fake.starts.empty());
        EXPECT_EQ(fake.files.size(), 1u) << "nothing but the package itself";
    }
}

// Without version facts the run goes on, and the engine start treats the
// Windows as older than Vista: a direct start, no administrator test.
TEST(WindowsGate, FailedVersionQueryRunsWithMajorZero) {
    FakeWindows fake;
    fake.versionQuerySucceeds = false;
    PackageRecipe recipe = SoundRecipe();
    recipe.allowedWindows = SetOf(0);
    InstallPackage(fake, BuildPackage(recipe));
    const RunOutcome outcome = RunLauncherOn(fake);
    EXPECT_TRUE(outcome.returnedNormally);
    EXPECT_TRUE(fake.messages.empty());
    ASSERT_EQ(fake.starts.size(), 1u);
    EXPECT_FALSE(fake.starts[0].shell);
    EXPECT_EQ(fake.administratorQueries, 0);
}

}  // namespace
