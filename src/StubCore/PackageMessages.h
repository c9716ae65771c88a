// Package-supplied messages: texts stored in the package (wrong processor
// width, unsupported Windows), shown in place of the launcher's own.
#pragma once
#include <stdint.h>

#include "../StubTypes/StubTypes.h"
#include "Platform.h"

// Reads the text at message, puts replacement (when given and not empty) in
// place of every "%USER%" and then every "%user%", shows it with the
// launcher's path as caption and ends the process with exitCode.  A text that
// cannot be read whole gives the damaged-package message instead.
[[noreturn]] void ShowPackageMessage(Platform& platform, Handle file, const MessageRef& message,
                                     const StubString* replacement, uint32_t exitCode);
