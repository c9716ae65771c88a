#include "TempCopy.h"

#include <string.h>

#include "../NoRTLStream/StubMemory.h"
#include "CommandLine.h"
#include "Fatal.h"
#include "FileTransfer.h"

namespace {

// Names tried for the run folder before giving up.  Every name is new
// random bits, so a clash means someone made that very name on purpose or
// the folder cannot be created at all; a few tries tell the two apart.
constexpr int kRunFolderAttempts = 8;
constexpr uint32_t kRunFolderRandomBytes = 8;  // 64 bits, 16 hexadecimal digits

int32_t LastSeparator(const StubString& path) {
    for (int32_t i = path.Length() - 1; i >= 0; --i)
        if (path.At(i) == u'\\') return i;
    return -1;
}

// True when the file behind held is exactly the size bytes at expected.
// Compared byte for byte, not by a checksum: whoever could swap the file
// could also give the swapped one the same CRC-32.
bool HeldCopyIs(Platform& platform, Handle held, const uint8_t* expected, uint32_t size) {
    if (platform.FileSize(held) != size) return false;
    if (size == 0) return true;
    platform.SeekTo(held, 0);
    const uint32_t pieceSize = size < kFilePiece ? size : kFilePiece;
    uint8_t* piece = static_cast<uint8_t*>(MemAlloc(static_cast<int32_t>(pieceSize)));
    bool same = true;
    for (uint32_t done = 0; same && done < size;) {
        const uint32_t want = size - done < pieceSize ? size - done : pieceSize;
        same = platform.ReadFrom(held, piece, want) == want && memcmp(piece, expected + done, want) == 0;
        done += want;
    }
    MemFree(piece);
    return same;
}

// Deletes what a failed copy left and shows the temporary-copy message.
[[noreturn]] void FailAndRemove(Platform& platform, const StubString& runFolder, const StubString* copy) {
    if (copy) platform.RemoveFile(copy->Text());
    platform.RemoveFolder(runFolder.Text());
    FailTemporaryCopy(platform);
}

}  // namespace

void PathPart(const StubString& path, StubString& part) {
    part.Clear();
    part.Append(path.Text(), LastSeparator(path) + 1);
}

void NamePart(const StubString& path, StubString& part) {
    const int32_t start = LastSeparator(path) + 1;
    part.Clear();
    part.Append(path.Text() + start, path.Length() - start);
}

void ChooseTemporaryFolder(Platform& platform, const char16_t* commandLine,
                           const StubString& launcherPath, StubString& folder) {
    const int32_t count = ArgumentCount(commandLine);
    StubString argument;
    Argument(commandLine, count, argument);
    if (count >= 1 && SwitchMatches(argument, u"/temp")) {
        PathPart(launcherPath, folder);
        return;
    }
    platform.TempPath(folder);
    if (folder.IsEmpty()) folder.Append(u"C:\\");
    for (int32_t i = count - 1; i >= 1; --i) {
        Argument(commandLine, i, argument);
        if (SwitchMatches(argument, u"/temp")) {
            Argument(commandLine, i + 1, folder);
            break;
        }
    }
    if (folder.Last() != u'\\') folder.Append(u'\\');
}

void RunFolderSecurity(const StubString& userSid, StubString& securityDescriptor) {
    // P: protected, nothing inherited from the temporary folder above.
    // OICI: files and folders made inside inherit the entries.  FA: full
    // control.  SY: SYSTEM.  BA: BUILTIN\Administrators, so that an engine
    // elevated with "runas", by the same or another administrator, can use it.
    securityDescriptor.Clear();
    securityDescriptor.Append(u"D:P(A;OICI;FA;;;");
    securityDescriptor.Append(userSid);
    securityDescriptor.Append(u")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
}

void CreateRunFolder(Platform& platform, const StubString& folder, StubString& runFolder) {
    StubString sid, security;
    if (!platform.UserSid(sid)) FailTemporaryCopy(platform);
    RunFolderSecurity(sid, security);
    for (int attempt = 0; attempt < kRunFolderAttempts; ++attempt) {
        uint8_t random[kRunFolderRandomBytes];
        if (!platform.RandomBytes(random, sizeof random)) break;
        runFolder.Assign(folder);
        for (uint8_t byte : random) {
            runFolder.Append(u"0123456789abcdef"[byte >> 4]);
            runFolder.Append(u"0123456789abcdef"[byte & 15]);
        }
        // Fails for a name that exists: an existing folder is never used,
        // whoever made it and whatever its permissions.
        if (platform.CreateFolder(runFolder.Text(), security.Text())) return;
    }
    FailTemporaryCopy(platform);
}

void ChooseTemporaryCopyPath(Platform& platform, const StubString& folder,
                             const StubString& launcherPath, StubString& path) {
    StubString first;
    first.Assign(folder);
    StubString name;
    NamePart(launcherPath, name);
    first.Append(name);
    path.Assign(first);
    // The number goes in front of the last four characters of the whole
    // path, where a three-letter extension and its dot would be.
    const int32_t at = first.Length() >= 4 ? first.Length() - 4 : 0;
    StubString number;
    for (uint32_t counter = 2; platform.Exists(path.Text()); ++counter) {
        number.Clear();
        number.AppendDecimal(counter);
        path.Assign(first);
        path.Insert(at, number);
    }
}

Handle WriteTemporaryCopy(Platform& platform, const StubString& runFolder, const StubString& path,
                          const TStream& output, int32_t size) {
    Handle file = platform.CreateForWriting(path.Text());
    if (file == InvalidHandle()) FailAndRemove(platform, runFolder, nullptr);
    const uint32_t written = size > 0 ? WriteInPieces(platform, file, output.Buffer, static_cast<uint32_t>(size)) : 0;
    platform.CloseHandle(file);
    if (written != static_cast<uint32_t>(size)) FailAndRemove(platform, runFolder, &path);
    // From here until the engine has started, nobody may swap the copy for
    // something else: that would run the replacement, elevated if the user
    // accepts the prompt.  If it cannot be held, something already has it
    // open for writing: do not start it.  Windows will not start a file
    // that is open for writing, so the write handle had to be closed before
    // the copy could be held; what happened to it in between is found by
    // reading it back through the held handle.
    Handle held = platform.HoldAgainstChanges(path.Text());
    if (held == InvalidHandle()) FailAndRemove(platform, runFolder, &path);
    if (!HeldCopyIs(platform, held, output.Buffer, static_cast<uint32_t>(size))) {
        platform.CloseHandle(held);
        FailAndRemove(platform, runFolder, &path);
    }
    return held;
}
