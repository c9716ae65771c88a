// Whole-file reads and crash-safe writes for the package builder.  A package
// is only ever visible under its final name once it is complete: it is written
// to a temporary file next to the target, flushed to disk, then renamed.
#pragma once
#include <string>

#include "PackageWriter.h"

// Reads path into bytes; false with a reason ("cannot open ...: No such file
// or directory") otherwise.
bool ReadWholeFile(const std::string& path, Bytes& bytes, std::string& error);

// Writes bytes to path atomically: a temporary file in path's folder, fsync,
// rename over path, fsync of the folder.  On any failure, and on SIGINT,
// SIGTERM or SIGHUP while writing, the temporary file is removed and path is
// left as it was.  The new file gets mode 0777 minus the umask, as a linker's
// output would.
bool WriteFileAtomically(const std::string& path, const Bytes& bytes, std::string& error);
