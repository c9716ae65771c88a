// Reading and writing large runs of bytes in pieces.  On Windows a single
// ReadFile or WriteFile of more than some tens of MiB to or from a network
// share can fail outright (ERROR_NO_SYSTEM_RESOURCES), which would make a
// sound package on a share look damaged.  Pieces of 1 MiB cost nothing
// measurable and give the same bytes, counts and checks.
#pragma once
#include <stdint.h>

#include "Platform.h"

constexpr uint32_t kFilePiece = 1u << 20;

// Reads count bytes from the file's position into destination, piece by
// piece; returns how many arrived (less than count only when a piece came
// back short, and no further piece is asked for after that).
uint32_t ReadInPieces(Platform& platform, Handle file, void* destination, uint32_t count);
// The same for writing.
uint32_t WriteInPieces(Platform& platform, Handle file, const void* source, uint32_t count);
