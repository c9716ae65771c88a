// Opening the launcher's own file and verifying the package appended to it:
// the locator, the size rule, the CRC-32 of the checked block, the header.
#pragma once
#include <stdint.h>

#include "../StubTypes/StubTypes.h"
#include "Platform.h"

struct OpenPackage {
    Handle file = nullptr;  // stays open until the temporary copy is written
    uint64_t fileSize = 0;
    PackageLocator locator{};
    PackageHeader header{};
};

// Returns only when everything passed; otherwise shows the damaged- or
// truncated-package message and ends the process.
void OpenAndVerifyPackage(Platform& platform, const StubString& launcherPath, OpenPackage& package);
