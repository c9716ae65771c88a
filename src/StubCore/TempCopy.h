// The temporary copy of the setup engine: its folder, a free name there, and
// writing it.
#pragma once
#include <stdint.h>

#include "../NoRTLStream/NoRTLStream.h"
#include "Platform.h"

// Everything up to and including the last '\' (empty without one).
void PathPart(const StubString& path, StubString& part);
// Everything after the last '\' (the whole path without one).
void NamePart(const StubString& path, StubString& part);

// "/temp" as the last argument: the launcher's own folder.  Otherwise the
// platform's temporary folder ("C:\" when it has none), unless an earlier
// "/temp" (the one nearest the end wins) names the folder that follows it.
// Always ends in '\'.
void ChooseTemporaryFolder(Platform& platform, const char16_t* commandLine,
                           const StubString& launcherPath, StubString& folder);

// folder + the launcher's file name, or, when that exists, the first free
// name with 2, 3, ... inserted before the last four characters.
void ChooseTemporaryCopyPath(Platform& platform, const StubString& folder,
                             const StubString& launcherPath, StubString& path);

// Writes size bytes of output to path in one write.  On failure shows the
// temporary-copy message (deleting a partly written file first).  Returns a
// handle that keeps the finished copy from being changed, replaced or deleted
// until the caller closes it, after confirming through that handle that the
// file is byte for byte what was written; a copy changed before it could be
// held is deleted and reported like a failed write.
Handle WriteTemporaryCopy(Platform& platform, const StubString& path, const TStream& output,
                          int32_t size);
