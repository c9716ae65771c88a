#include "TempCopy.h"

#include <string.h>

#include "../NoRTLStream/StubMemory.h"
#include "CommandLine.h"
#include "Fatal.h"

namespace {

// The held copy is read back in pieces of this size.
constexpr uint32_t kComparePiece = 1u << 20;

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
    const uint32_t pieceSize = size < kComparePiece ? size : kComparePiece;
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

Handle WriteTemporaryCopy(Platform& platform, const StubString& path, const TStream& output,
                          int32_t size) {
    Handle file = platform.CreateForWriting(path.Text());
    if (file == InvalidHandle()) FailTemporaryCopy(platform);
    const uint32_t written = size > 0 ? platform.WriteTo(file, output.Buffer, static_cast<uint32_t>(size)) : 0;
    platform.CloseHandle(file);
    if (written != static_cast<uint32_t>(size)) {
        platform.RemoveFile(path.Text());
        FailTemporaryCopy(platform);
    }
    // From here until the engine has started, nobody may swap the copy for
    // something else: that would run the replacement, elevated if the user
    // accepts the prompt.  If it cannot be held, something already has it
    // open for writing: do not start it.  Windows will not start a file
    // that is open for writing, so the write handle had to be closed before
    // the copy could be held; what happened to it in between is found by
    // reading it back through the held handle.
    Handle held = platform.HoldAgainstChanges(path.Text());
    if (held == InvalidHandle()) {
        platform.RemoveFile(path.Text());
        FailTemporaryCopy(platform);
    }
    if (!HeldCopyIs(platform, held, output.Buffer, static_cast<uint32_t>(size))) {
        platform.CloseHandle(held);
        platform.RemoveFile(path.Text());
        FailTemporaryCopy(platform);
    }
    return held;
}
