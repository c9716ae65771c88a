// The temporary copy of the setup engine: its folder, a folder of its own
// inside that one, a free name there, and writing it.
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

// Creates a new folder for this run inside folder (which ends in '\'):
// named with random bits, never one that exists already, and created with a
// protected DACL that grants full control to the launching user, SYSTEM and
// BUILTIN\Administrators only, inherited by what is created inside.  The
// engine's own folder is where Windows looks first for the libraries it
// imports; a folder nobody else can write keeps planted ones out.  Tries a
// few names, then shows the temporary-copy message.  runFolder gets the
// path without a trailing '\'.
void CreateRunFolder(Platform& platform, const StubString& folder, StubString& runFolder);

// The text form of that DACL for the user's SID.
void RunFolderSecurity(const StubString& userSid, StubString& securityDescriptor);

// folder + the launcher's file name, or, when that exists, the first free
// name with 2, 3, ... inserted before the last four characters.
void ChooseTemporaryCopyPath(Platform& platform, const StubString& folder,
                             const StubString& launcherPath, StubString& path);

// Writes size bytes of output to path, a new file in runFolder.  On failure
// shows the temporary-copy message, deleting a partly written file and the
// run folder first.  Returns a handle that keeps the finished copy from
// being changed, replaced or deleted until the caller closes it, after
// confirming through that handle that the file is byte for byte what was
// written; a copy changed before it could be held is deleted and reported
// like a failed write.
Handle WriteTemporaryCopy(Platform& platform, const StubString& runFolder, const StubString& path,
                          const TStream& output, int32_t size);
