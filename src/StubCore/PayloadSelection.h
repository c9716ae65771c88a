// Choosing the 32-bit or the 64-bit setup engine by the processor width of
// Windows, or refusing the machine.
#pragma once

#include "../StubTypes/StubTypes.h"
#include "Platform.h"

struct PayloadSelection {
    bool refused = false;
    PayloadEntry entry{};  // copied whole from the header
};

// Pure apart from the WOW64 probe (platform.IsRunningUnderWow64), which is
// asked at most once and only where the choice depends on it.
PayloadSelection SelectPayload(const PackageHeader& header, const char16_t* commandLine,
                               Platform& platform);

// True when an argument is exactly "/32" (no case folding).
bool Has32BitSwitch(const char16_t* commandLine);

// SelectPayload, showing the package's wrong-width message on refusal.
PayloadEntry ChoosePayload(Platform& platform, Handle file, const PackageHeader& header,
                           const char16_t* commandLine);
