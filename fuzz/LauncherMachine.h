// The machine a fuzz_launcher run happens on: the first kMachineSize bytes of
// its input, before the package file.  Shared by the target, which sets up
// FakeWindows from them, and by make_seeds, which writes them for the
// machines worth starting from, so that both read the layout from one place.
//
//   byte 0       bit 0     the process runs under WOW64 (64-bit Windows)
//                bit 1     the user is an administrator
//                bits 2-4  command line (kCommandLines)
//                bits 5-7  trouble (Trouble)
//   byte 1       bits 0-1  where the launcher is (Place)
//                bit 2     a shell start gives no process handle
//                bit 3     GetTempPathW gives nothing
//                bit 4     a change made to the copy before it is held
//                          appends a byte (else flips its last byte)
//                bit 5     the locator's checkedCrc is left as it is
//                bit 6     the file goes on with kZeroTail zero bytes
//   byte 2, 3    Windows major and minor version
//   byte 4       bit 0     the Windows 9x platform (else NT)
//                bit 1     GetVersionExW fails
//                bit 2     the service-pack query fails
//                bit 3     the CurrentVersion key does not open
//                bits 4-7  service pack
//   bytes 5-52   CurrentBuild, DisplayVersion, ReleaseId in 16 bytes each:
//                a length L, then the value's raw bytes (L > 15: no value)
//   byte 53      bit 0     no visible window station (a service)
//                bit 1     the random generator fails
//                bit 2     the user's SID cannot be had
//                bit 3     every run folder creation fails
//                bit 4     the first run folder name is someone's folder
//                          (with a file in it)
//                bit 5     a file appears at the copy's name just before
//                          it is created
//
// Registry values are raw bytes rather than text so that a run can also
// meet a value without its NUL, or with an odd byte count.
#pragma once
#include <cstdint>
#include <optional>
#include <vector>

constexpr size_t kRegistrySlot = 16;
constexpr size_t kMachineSize = 5 + 3 * kRegistrySlot + 1;
// libFuzzer keeps its inputs below 1 MiB, and the launcher reads and sums a
// checked block in 1 MiB pieces; a file this much longer than its input can
// hold a checked block of more than one piece.
constexpr size_t kZeroTail = (1u << 20) + 4096;

// What the user typed after the program name.
constexpr const char16_t* kCommandLines[8] = {
    u"\"C:\\Downloads\\setup.exe\"",
    u"\"C:\\Downloads\\setup.exe\" /32",
    u"\"C:\\Downloads\\setup.exe\" /silent",
    u"\"C:\\Downloads\\setup.exe\" /s /temp D:\\Work x",
    u"\"C:\\Downloads\\setup.exe\" /temp",
    u"\"C:\\Downloads\\setup.exe\" /S \"two words\" /32",
    u"\"C:\\Downloads\\setup.exe\" /temp D:\\Work\\ /SILENT",
    u"\"C:\\Downloads\\setup.exe\" /temp \"D:\\My Work\" /temp",
};
// Which of them hold a silent switch (/silent or /s, any case).
constexpr bool kSilentCommandLine[8] = {false, false, true, true, false, true, true, false};

enum class Trouble : uint8_t {
    kNone,
    kStartFails,           // with an error code
    kStartFailsSilently,   // without one
    kTempFolderCrowded,    // setup.exe and setup2.exe to setup10.exe exist
    kDiskNearlyFull,
    kCopyUncreatable,
    kCopyCannotBeHeld,
    kCopyChangedBeforeHold,
};

enum class Place : uint8_t {
    kLocalDisk,     // C:\Downloads, no network name
    kMappedDrive,   // Z:, which the UNC lookup turns into \\srv\dist\...
    kUncPath,       // started as \\srv\dist\setup.exe
    kTooLongPath,   // longer than GetModuleFileNameW's 261 units: cut
};

struct Machine {
    bool wow64 = true;
    bool administrator = false;
    uint8_t commandLine = 0;
    Trouble trouble = Trouble::kNone;
    Place place = Place::kLocalDisk;
    bool shellGivesNoProcess = false;
    bool noTempPath = false;
    bool changeAppends = false;
    bool keepCrc = false;
    bool zeroTail = false;
    uint8_t major = 10, minor = 0;
    bool windows9x = false;
    bool versionQueryFails = false;
    bool servicePackQueryFails = false;
    bool versionKeyFails = false;
    uint8_t servicePack = 0;
    // Raw value bytes; none when the value is missing.
    std::optional<std::vector<uint8_t>> currentBuild, displayVersion, releaseId;
    bool hiddenWindowStation = false;
    bool randomFails = false;
    bool userSidFails = false;
    bool folderCreationFails = false;
    bool firstRunFolderTaken = false;
    bool copyNameTakenInARace = false;
};

inline std::optional<std::vector<uint8_t>> ReadSlot(const uint8_t* slot) {
    if (slot[0] > kRegistrySlot - 1) return std::nullopt;
    return std::vector<uint8_t>(slot + 1, slot + 1 + slot[0]);
}

inline void WriteSlot(const std::optional<std::vector<uint8_t>>& value, uint8_t* slot) {
    slot[0] = 0xFF;
    if (!value || value->size() > kRegistrySlot - 1) return;
    slot[0] = static_cast<uint8_t>(value->size());
    for (size_t i = 0; i < value->size(); ++i) slot[1 + i] = (*value)[i];
}

inline Machine DecodeMachine(const uint8_t* p) {
    Machine m;
    m.wow64 = p[0] & 1;
    m.administrator = p[0] & 2;
    m.commandLine = (p[0] >> 2) & 7;
    m.trouble = static_cast<Trouble>(p[0] >> 5);
    m.place = static_cast<Place>(p[1] & 3);
    m.shellGivesNoProcess = p[1] & 4;
    m.noTempPath = p[1] & 8;
    m.changeAppends = p[1] & 16;
    m.keepCrc = p[1] & 32;
    m.zeroTail = p[1] & 64;
    m.major = p[2];
    m.minor = p[3];
    m.windows9x = p[4] & 1;
    m.versionQueryFails = p[4] & 2;
    m.servicePackQueryFails = p[4] & 4;
    m.versionKeyFails = p[4] & 8;
    m.servicePack = p[4] >> 4;
    m.currentBuild = ReadSlot(p + 5);
    m.displayVersion = ReadSlot(p + 5 + kRegistrySlot);
    m.releaseId = ReadSlot(p + 5 + 2 * kRegistrySlot);
    const uint8_t more = p[5 + 3 * kRegistrySlot];
    m.hiddenWindowStation = more & 1;
    m.randomFails = more & 2;
    m.userSidFails = more & 4;
    m.folderCreationFails = more & 8;
    m.firstRunFolderTaken = more & 16;
    m.copyNameTakenInARace = more & 32;
    return m;
}

inline std::vector<uint8_t> EncodeMachine(const Machine& m) {
    std::vector<uint8_t> p(kMachineSize, 0);
    p[0] = static_cast<uint8_t>(m.wow64 | m.administrator << 1 | (m.commandLine & 7) << 2 |
                                static_cast<uint8_t>(m.trouble) << 5);
    p[1] = static_cast<uint8_t>(static_cast<uint8_t>(m.place) | m.shellGivesNoProcess << 2 |
                                m.noTempPath << 3 | m.changeAppends << 4 | m.keepCrc << 5 |
                                m.zeroTail << 6);
    p[2] = m.major;
    p[3] = m.minor;
    p[4] = static_cast<uint8_t>(m.windows9x | m.versionQueryFails << 1 | m.servicePackQueryFails << 2 |
                                m.versionKeyFails << 3 | (m.servicePack & 15) << 4);
    WriteSlot(m.currentBuild, p.data() + 5);
    WriteSlot(m.displayVersion, p.data() + 5 + kRegistrySlot);
    WriteSlot(m.releaseId, p.data() + 5 + 2 * kRegistrySlot);
    p[5 + 3 * kRegistrySlot] =
        static_cast<uint8_t>(m.hiddenWindowStation | m.randomFails << 1 | m.userSidFails << 2 |
                             m.folderCreationFails << 3 | m.firstRunFolderTaken << 4 | m.copyNameTakenInARace << 5);
    return p;
}
