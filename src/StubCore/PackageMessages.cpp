#include "PackageMessages.h"

#include "Fatal.h"

void ShowPackageMessage(Platform& platform, Handle file, const MessageRef& message,
                        const StubString* replacement, uint32_t exitCode) {
    StubString text;
    text.SetLength(message.length);
    const uint32_t bytes = 2u * message.length;
    if (bytes != 0) {
        platform.SeekTo(file, message.offset);
        // The text is UTF-16LE, the byte order of every Windows processor.
        if (platform.ReadFrom(file, text.Data(), bytes) != bytes) FailDamagedPackage(platform);
    }
    if (replacement && !replacement->IsEmpty()) {
        // Only these two spellings count; the Windows names never contain a
        // placeholder, so one pass per spelling replaces every occurrence.
        text.ReplaceAll(u"%USER%", *replacement);
        text.ReplaceAll(u"%user%", *replacement);
    }
    ShowAndExit(platform, text.Text(), exitCode);
}
