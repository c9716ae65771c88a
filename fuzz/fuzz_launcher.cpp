// Whole launcher runs on the simulated Windows.  Input: kMachineSize bytes
// that describe the machine (LauncherMachine.h: Windows version and registry
// values, WOW64, administrator, command line, where the launcher is, one
// kind of trouble, and trouble with the run's own folder or its watchers),
// then the package file itself.  Before the run the
// locator's checkedCrc is recomputed (when its block lies inside the file,
// and unless the machine bytes say to keep it), so the fuzzer gets past the
// checksum to selection, the Windows gate, decoding, the temporary copy and
// the start.
//
// After every run: it ended by a normal return or by one of the launcher's
// exit codes; at most one message box, with the launcher's path as caption,
// and none in a silent run or without a visible window station; an engine
// was only ever started from a copy held against changes, in a run folder
// of its own asked for with the protected DACL; no new file or folder is
// left behind unless the engine start was attempted, and none at all after
// a normal run that waited and cleaned up; nothing of the package or the
// copy stays open after a normal run.
#include <cstring>
#include <map>
#include <set>
#include <string>

#include "FakeWindows.h"
#include "FuzzCheck.h"
#include "LauncherMachine.h"
#include "NoRTLStream/StubMemory.h"
#include "StubCore/Fatal.h"
#include "StubCore/Platform.h"
#include "StubCore/TempCopy.h"
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
    case Trouble::kCopyUncreatable:
        fake.beforeCreateForWriting = [](FakeWindows& f, const std::u16string& path) {
            f.uncreatable.insert(Upper(path));
        };
        break;
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

    fake.windowStationVisible = !m.hiddenWindowStation;
    fake.randomFails = m.randomFails;
    fake.userSidFails = m.userSidFails;
    fake.folderCreationFails = m.folderCreationFails;
    if (m.firstRunFolderTaken) {
        // In whichever folder the run folder is made: all the candidates.
        const std::u16string path = fake.modulePath;
        for (const std::u16string& folder :
             {fake.tempPath, std::u16string(u"C:\\"), std::u16string(u"D:\\Work\\"),
              std::u16string(u"D:\\My Work\\"), path.substr(0, path.rfind(u'\\') + 1)}) {
            fake.AddFolder(folder + kFirstRunFolder);
            fake.AddFile(folder + kFirstRunFolder + u"\\setup.exe", Bytes(3, 7));
        }
    }
    if (m.copyNameTakenInARace && m.trouble != Trouble::kCopyUncreatable)
        fake.beforeCreateForWriting = [](FakeWindows& f, const std::u16string& path) {
            f.AddFile(path, Bytes(3, 9));
        };
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
    std::set<std::u16string> before, foldersBefore = fake.folders;
    std::map<std::u16string, Bytes> filesBefore = fake.files;
    for (const auto& f : fake.files) before.insert(f.first);

    const RunOutcome outcome = RunLauncherOn(fake);

    // How it ended.
    FUZZ_CHECK(fake.messages.size() <= 1);
    const bool watched = !kSilentCommandLine[machine.commandLine & 7] && !machine.hiddenWindowStation;
    std::set<std::u16string> added, addedFolders;
    for (const auto& f : fake.files)
        if (!before.count(f.first)) added.insert(f.first);
    for (const auto& f : fake.folders)
        if (!foldersBefore.count(f)) addedFolders.insert(f);
    // What was there before is still there, unchanged (whatever appeared
    // in a race is not the launcher's to touch either).
    for (const auto& [key, bytes] : filesBefore) FUZZ_CHECK(fake.files.count(key) && fake.files[key] == bytes);
    for (const auto& f : foldersBefore) FUZZ_CHECK(fake.folders.count(f));
    // Every run folder is asked for with the protected DACL.
    StubString sid(fake.userSid.c_str()), security;
    RunFolderSecurity(sid, security);
    for (const auto& created : fake.createdFolders) FUZZ_CHECK(created.securityDescriptor == security.Text());
    const bool startAttempted = !fake.starts.empty();
    FUZZ_CHECK(fake.starts.size() <= 1);
    // Nothing can have been swapped in between writing the copy and its start.
    if (startAttempted) {
        FUZZ_CHECK(fake.starts[0].copyHeld);
        // The copy sits in a folder this run made.
        const StartRecord& start = fake.starts[0];
        // A direct start's command line begins with the quoted copy.
        const std::u16string copy =
            start.shell ? start.file : start.commandLine.substr(1, start.commandLine.find(u'"', 1) - 1);
        const std::u16string folder = Upper(copy.substr(0, copy.rfind(u'\\')));
        FUZZ_CHECK(!foldersBefore.count(folder));
        bool madeByThisRun = false;
        for (const auto& created : fake.createdFolders) madeByThisRun |= Upper(created.path) == folder;
        FUZZ_CHECK(madeByThisRun);
        if (fake.starts[0].shell) FUZZ_CHECK(fake.starts[0].noErrorUi == !watched);
    }
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
            // Waited (when there was a process) and deleted the copy and its folder.
            FUZZ_CHECK(added.empty());
            FUZZ_CHECK(addedFolders.empty());
        } else {
            // Started and left running: the copy stays, nobody waited.
            FUZZ_CHECK(added.size() == 1);
            FUZZ_CHECK(addedFolders.size() == 1);
            FUZZ_CHECK(outcome.exitCode == 0);
        }
    } else {
        const uint32_t code = outcome.exitCode;
        FUZZ_CHECK(code == kExitDamagedPackage || code == kExitTruncatedPackage ||
                   code == kExitTemporaryCopy || code == kExitWrongWidth ||
                   code == kExitUnsupportedWindows || code == kOutOfMemoryExitCode ||
                   code == kStartError || code == kExitEngineStartUnknown);
        if (code == kOutOfMemoryExitCode || !watched) {
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
        if (!startAttempted) {
            // Nothing left, except a file that appeared in a race and the
            // run folder it keeps from being removed.
            for (const auto& key : added) FUZZ_CHECK(fake.files[key] == Bytes(3, 9));
            FUZZ_CHECK(addedFolders.size() == added.size());
        } else {
            FUZZ_CHECK(added.size() == 1);
            FUZZ_CHECK(addedFolders.size() == 1);
        }
    }
    return 0;
}
