// How the launcher ends when it cannot go on: one modal message box (error
// icon, the launcher's own path as caption), then the process ends at once
// with a nonzero Win32 error code that scripts and deployment tools can act on.
#pragma once
#include <stdint.h>

class Platform;
class StubString;

// Exit codes.  A run that waited for its engine ends with the engine's code.
constexpr uint32_t kExitDamagedPackage = 1392;     // ERROR_FILE_CORRUPT
constexpr uint32_t kExitTruncatedPackage = 38;     // ERROR_HANDLE_EOF
constexpr uint32_t kExitTemporaryCopy = 82;        // ERROR_CANNOT_MAKE
constexpr uint32_t kExitEngineStartUnknown = 1;    // a failed start that gave no error code
constexpr uint32_t kExitWrongWidth = 216;          // ERROR_EXE_MACHINE_TYPE_MISMATCH
constexpr uint32_t kExitUnsupportedWindows = 1150; // ERROR_OLD_WIN_VERSION

constexpr uint32_t kMessageStyleError = 0x10;  // MB_ICONERROR | MB_OK

extern const char16_t kDamagedPackageMessage[];
extern const char16_t kTruncatedPackageMessage[];
extern const char16_t kTemporaryCopyMessage[];
extern const char16_t kEngineStartMessage[];

// A silent run: "/silent" or "/s" among the arguments (by the switch match).
bool IsSilentRun(const char16_t* commandLine);
// False for runs nobody watches: silent ones, and those without a visible
// window station (a service, session 0), where a modal message box would
// wait forever for a click nobody can give.  The exit code tells instead.
bool MessagesMayBeShown(Platform& platform);

// Shows text with the launcher's path as caption (unless nobody watches)
// and ends with exitCode.
[[noreturn]] void ShowAndExit(Platform& platform, const char16_t* text, uint32_t exitCode);

[[noreturn]] void FailDamagedPackage(Platform& platform);
[[noreturn]] void FailTruncatedPackage(Platform& platform);
[[noreturn]] void FailTemporaryCopy(Platform& platform);
// error: what the failed start reported (0 when nothing).
[[noreturn]] void FailEngineStart(Platform& platform, uint32_t error);
