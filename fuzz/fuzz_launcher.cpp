// Whole launcher runs on the simulated Windows.  Input: one byte of machine
// facts, then the package file itself.  Before the run the locator's
// checkedCrc is recomputed (when its block lies inside the file), so the
// fuzzer gets past the checksum to selection, the Windows gate, decoding,
// the temporary copy and the start.
//
// After every run: it ended by a normal return or by one of the launcher's
// exit codes; at most one message box, with the launcher's path as caption;
// no new file is left behind unless the engine start was attempted, and none
// at all after a normal run that waited and cleaned up; nothing of the
// package or the copy stays open after a normal run.
#include <cstring>
#include <set>
#include <string>

#include "FakeWindows.h"
#include "FuzzCheck.h"
#include "NoRTLStream/StubMemory.h"
#include "StubCore/Fatal.h"
#include "StubCore/Platform.h"
#include "StubTypes/StubTypes.h"

namespace {

constexpr uint32_t kEngineExitCode = 4242;
constexpr uint32_t kStartError = 1260;  // ERROR_ACCESS_DISABLED_BY_POLICY
constexpr uint32_t kDiskSpace = 1000;

// Byte 0 of the input:
//   bit 0     the process runs under WOW64 (64-bit Windows)
//   bit 1     the user is an administrator
//   bits 2-3  Windows 10 22H2, Windows 11 23H2, Windows 7, Windows XP
//   bits 4-5  command line: none, "/32", "/silent", "/s /temp D:\Work x"
//   bits 6-7  trouble: none, the start fails, the temporary folder already
//             holds setup.exe and setup2.exe, the disk is nearly full
void SetFacts(FakeWindows& fake, uint8_t facts) {
    fake.wow64 = facts & 1;
    fake.administrator = facts & 2;
    switch ((facts >> 2) & 3) {
    case 0:
        fake.version = {10, 0, 2};
        fake.SetRegistryText(kValueCurrentBuild, u"19045");
        fake.SetRegistryText(kValueDisplayVersion, u"22H2");
        fake.SetRegistryText(kValueReleaseId, u"2009");
        break;
    case 1:
        fake.version = {10, 0, 2};
        fake.SetRegistryText(kValueCurrentBuild, u"22631");
        fake.SetRegistryText(kValueDisplayVersion, u"23H2");
        break;
    case 2:
        fake.version = {6, 1, 2};
        break;
    default:
        fake.version = {5, 1, 2};
        break;
    }
    static const char16_t* const kCommandLines[] = {
        u"\"C:\\Downloads\\setup.exe\"",
        u"\"C:\\Downloads\\setup.exe\" /32",
        u"\"C:\\Downloads\\setup.exe\" /silent",
        u"\"C:\\Downloads\\setup.exe\" /s /temp D:\\Work x",
    };
    fake.commandLine = kCommandLines[(facts >> 4) & 3];
    fake.AddFolder(u"D:\\Work");
    fake.engineExitCode = kEngineExitCode;
    switch (facts >> 6) {
    case 1:
        fake.startFails = true;
        fake.startError = kStartError;
        break;
    case 2:
        fake.AddFile(fake.tempPath + u"setup.exe", Bytes(3, 1));
        fake.AddFile(fake.tempPath + u"setup2.exe", Bytes(3, 2));
        break;
    case 3:
        fake.diskSpace = kDiskSpace;
        break;
    default:
        break;
    }
}

// What the launcher will find at offset 128, if anything.
bool ReadLocatorOf(const Bytes& file, PackageLocator& locator) {
    if (file.size() < kLocatorOffset + kLocatorSize) return false;
    uint8_t bytes[kLocatorSize];
    std::memcpy(bytes, file.data() + kLocatorOffset, kLocatorSize);
    locator = ParseLocator(bytes);
    return true;
}

void Reseal(Bytes& file) {
    PackageLocator locator;
    if (!ReadLocatorOf(file, locator)) return;
    const uint64_t end = static_cast<uint64_t>(locator.packageOffset) + locator.checkedLength;
    if (locator.packageOffset == 0 || end > file.size()) return;
    const uint32_t crc = locator.checkedLength == 0
                             ? 0
                             : ReferenceCrc32(file.data() + locator.packageOffset, locator.checkedLength);
    StoreU32(file.data() + kLocatorOffset + 8, crc);
}

const char16_t* BuiltInMessageFor(uint32_t code) {
    switch (code) {
    case kExitDamagedPackage: return kDamagedPackageMessage;
    case kExitTruncatedPackage: return kTruncatedPackageMessage;
    case kExitTemporaryCopy: return kTemporaryCopyMessage;
    case kStartError: return kEngineStartMessage;
    default: return nullptr;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    Bytes file(data + 1, data + size);
    Reseal(file);

    FakeWindows fake;
    SetFacts(fake, data[0]);
    fake.AddFile(fake.modulePath, file);
    std::set<std::u16string> before;
    for (const auto& f : fake.files) before.insert(f.first);

    const RunOutcome outcome = RunLauncherOn(fake);

    // How it ended.
    FUZZ_CHECK(fake.messages.size() <= 1);
    std::set<std::u16string> added;
    for (const auto& f : fake.files)
        if (!before.count(f.first)) added.insert(f.first);
    const bool startAttempted = !fake.starts.empty();
    FUZZ_CHECK(fake.starts.size() <= 1);
    FUZZ_CHECK(fake.HasFile(fake.modulePath));

    if (outcome.returnedNormally) {
        FUZZ_CHECK(outcome.exitCode == 0 || outcome.exitCode == kEngineExitCode);
        FUZZ_CHECK(fake.messages.empty());
        FUZZ_CHECK(startAttempted && !fake.startFails);
        FUZZ_CHECK(!fake.starts[0].packageOpen);
        FUZZ_CHECK(fake.OpenHandles(fake.modulePath) == 0);
        for (const auto& key : added) FUZZ_CHECK(fake.OpenHandles(key) == 0);
        PackageLocator locator;
        FUZZ_CHECK(ReadLocatorOf(file, locator));
        if (locator.minimumFileSize == 0) {
            // Waited (when there was a process) and deleted the copy.
            FUZZ_CHECK(added.empty());
        } else {
            // Started and left running: the copy stays, nobody waited.
            FUZZ_CHECK(added.size() == 1);
            FUZZ_CHECK(outcome.exitCode == 0);
        }
    } else {
        const uint32_t code = outcome.exitCode;
        FUZZ_CHECK(code == kExitDamagedPackage || code == kExitTruncatedPackage ||
                   code == kExitTemporaryCopy || code == kExitWrongWidth ||
                   code == kExitUnsupportedWindows || code == kOutOfMemoryExitCode ||
                   code == kStartError);
        if (code == kOutOfMemoryExitCode) {
            FUZZ_CHECK(fake.messages.empty());
        } else {
            FUZZ_CHECK(fake.messages.size() == 1);
            const ShownMessage& m = fake.messages[0];
            FUZZ_CHECK(m.caption == fake.modulePath);
            FUZZ_CHECK(m.style == kMessageStyleError);
            if (const char16_t* text = BuiltInMessageFor(code)) FUZZ_CHECK(m.text == text);
        }
        // Only a failed start gets that far, and only it leaves its copy.
        FUZZ_CHECK(startAttempted == (code == kStartError));
        if (!startAttempted) FUZZ_CHECK(added.empty());
        else FUZZ_CHECK(added.size() == 1);
    }
    return 0;
}
