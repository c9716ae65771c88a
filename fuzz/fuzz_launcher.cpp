// Whole launcher runs on the simulated Windows.  Input: kMachineSize bytes
// that describe the machine (LauncherMachine.h: Windows version and registry
// values, WOW64, administrator, command line, where the launcher is, and one
// kind of trouble), then the package file itself.  Before the run the
// locator's checkedCrc is recomputed (when its block lies inside the file,
// and unless the machine bytes say to keep it), so the fuzzer gets past the
// checksum to selection, the Windows gate, decoding, the temporary copy and
// the start.
//
// After every run: it ended by a normal return or by one of the launcher's
// exit codes; at most one message box, with the launcher's path as caption;
// an engine was only ever started from a copy held against changes; no new
// file is left behind unless the engine start was attempted, and none at
// all after a normal run that waited and cleaned up; nothing of the package
// or the copy stays open after a normal run.
#include <cstring>
#include <set>
#include <string>

#include "FakeWindows.h"
#include "FuzzCheck.h"
#include "LauncherMachine.h"
#include "NoRTLStream/StubMemory.h"
#include "StubCore/Fatal.h"
#include "StubCore/Platform.h"
#include "StubTypes/StubTypes.h"

namespace {

constexpr uint32_t kEngineExitCode = 4242;
constexpr uint32_t kStartError = 1260;  // ERROR_ACCESS_DISABLED_BY_POLICY
constexpr uint32_t kDiskSpace = 1000;
// What GetModuleFileNameW fills in: longer paths come back cut.
constexpr size_t kModulePathUnits = 261;

std::u16string ModulePathAt(Place place) {
    switch (place) {
    case Place::kMappedDrive: return u"Z:\\pkg dir\\setup.exe";
    case Place::kUncPath: return u"\\\\srv\\dist\\setup.exe";
    case Place::kTooLongPath: return u"C:\\Downloads\\" + std::u16string(260, u'd') + u"\\setup.exe";
    default: return u"C:\\Downloads\\setup.exe";
    }
}

void SetFacts(FakeWindows& fake, const Machine& m) {
    fake.wow64 = m.wow64;
    fake.administrator = m.administrator;
    fake.modulePath = ModulePathAt(m.place);
    fake.universalNames[u"Z:\\pkg dir\\setup.exe"] = u"\\\\srv\\dist\\pkg dir\\setup.exe";
    fake.commandLine = kCommandLines[m.commandLine & 7];
    fake.AddFolder(u"D:\\Work");
    if (m.noTempPath) fake.tempPath.clear();
    fake.shellGivesNoProcess = m.shellGivesNoProcess;
    fake.engineExitCode = kEngineExitCode;

    fake.versionQuerySucceeds = !m.versionQueryFails;
    fake.version = {m.major, m.minor, m.windows9x ? 1u : 2u};
    fake.servicePackQuerySucceeds = !m.servicePackQueryFails;
    fake.servicePack = m.servicePack;
    fake.versionKeyOpens = !m.versionKeyFails;
    for (const auto& [name, value] : {std::pair{kValueCurrentBuild, &m.currentBuild},
                                       std::pair{kValueDisplayVersion, &m.displayVersion},
                                       std::pair{kValueReleaseId, &m.releaseId}}) {
        if (!*value) continue;
        Bytes& stored = fake.registry[name];
        stored = **value;
        // FakeWindows copies a value with memcpy, which must not be handed
        // the null data() of an empty vector: an empty value keeps a block.
        stored.reserve(1);
    }

    switch (m.trouble) {
    case Trouble::kStartFails:
        fake.startFails = true;
        fake.startError = kStartError;
        break;
    case Trouble::kStartFailsSilently:
        fake.startFails = true;
        fake.startError = 0;
        break;
    case Trouble::kTempFolderCrowded:
        fake.AddFile(fake.tempPath + u"setup.exe", Bytes(3, 1));
        // Ten taken names make the launcher number its copy with two digits.
        for (char16_t n = 2; n <= 10; ++n) {
            std::u16string number;
            if (n >= 10) number += static_cast<char16_t>(u'0' + n / 10);
            number += static_cast<char16_t>(u'0' + n % 10);
            fake.AddFile(fake.tempPath + u"setup" + number + u".exe", Bytes(3, 2));
        }
        break;
    case Trouble::kDiskNearlyFull:
        fake.diskSpace = kDiskSpace;
        break;
    case Trouble::kCopyUncreatable: {
        const std::u16string path = fake.modulePath;
        const std::u16string launcherFolder = path.substr(0, path.rfind(u'\\') + 1);
        for (const std::u16string& folder :
             {fake.tempPath, std::u16string(u"C:\\"), std::u16string(u"D:\\Work\\"),
              std::u16string(u"D:\\My Work\\"), launcherFolder})
            for (const char16_t* name : {u"setup.exe", u"setup2.exe"})
                fake.uncreatable.insert(Upper(folder + name));
        break;
    }
    case Trouble::kCopyCannotBeHeld:
        fake.holdFails = true;
        break;
    case Trouble::kCopyChangedBeforeHold:
        if (m.changeAppends)
            fake.changeBeforeHold = [](Bytes& copy) { copy.push_back(0); };
        else
            fake.changeBeforeHold = [](Bytes& copy) {
                if (!copy.empty()) copy.back() ^= 1;
            };
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
    case kStartError:
    case kExitEngineStartUnknown: return kEngineStartMessage;
    default: return nullptr;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kMachineSize) return 0;
    const Machine machine = DecodeMachine(data);
    Bytes file(data + kMachineSize, data + size);
    if (machine.zeroTail) file.resize(file.size() + kZeroTail, 0);
    if (!machine.keepCrc) Reseal(file);

    FakeWindows fake;
    SetFacts(fake, machine);
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
    // Nothing can have been swapped in between writing the copy and its start.
    if (startAttempted) FUZZ_CHECK(fake.starts[0].copyHeld);
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
                   code == kStartError || code == kExitEngineStartUnknown);
        if (code == kOutOfMemoryExitCode) {
            FUZZ_CHECK(fake.messages.empty());
        } else {
            FUZZ_CHECK(fake.messages.size() == 1);
            const ShownMessage& m = fake.messages[0];
            FUZZ_CHECK(m.caption == fake.modulePath.substr(0, kModulePathUnits));
            FUZZ_CHECK(m.style == kMessageStyleError);
            if (const char16_t* text = BuiltInMessageFor(code)) FUZZ_CHECK(m.text == text);
        }
        // Only a failed start gets that far, and only it leaves its copy.
        FUZZ_CHECK(startAttempted == (code == kStartError || code == kExitEngineStartUnknown));
        if (!startAttempted) FUZZ_CHECK(added.empty());
        else FUZZ_CHECK(added.size() == 1);
    }
    return 0;
}
