// The Windows version gate: the package names the Windows versions (and the
// Windows 10 and 11 releases) its engine may run on; others are refused by
// name with the package's unsupported-Windows message.
#pragma once
#include <stdint.h>

#include "../StubTypes/StubTypes.h"
#include "Platform.h"

// Everything the gate looks at, gathered from the platform beforehand so
// that the judgement itself is a pure function.
struct WindowsFacts {
    bool versionKnown = false;
    VersionRecord version;           // all zero when unknown
    bool servicePackKnown = false;   // asked on Windows 2000 only
    uint32_t servicePack = 0;
    bool keyOpened = false;          // asked on 10.0 and 11.0 only
    RegistryReading currentBuild;
    RegistryReading displayVersion;
    RegistryReading releaseId;
};

void GatherWindowsFacts(Platform& platform, WindowsFacts& facts);

// True to go on; false with the name of the refused Windows version.
bool JudgeWindows(const PackageHeader& header, const WindowsFacts& facts, StubString& refusedName);

// A registry value as a decimal number: the leading digits, 32-bit wrap-around.
uint32_t RegistryNumber(const RegistryReading& reading);
// A registry value as text: up to the first NUL, at most 64 units.
void RegistryText(const RegistryReading& reading, StubString& text);

// Gathers, judges and, on refusal, shows the package's message (ends the
// process).  Returns the version record for the engine start.
VersionRecord PassWindowsGate(Platform& platform, Handle file, const PackageHeader& header);
