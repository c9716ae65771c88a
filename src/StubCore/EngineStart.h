// Starting the setup engine: directly, or through the shell ("open" or
// "runas") for a standard user on Windows Vista and later; then waiting for
// it and deleting the temporary copy.
#pragma once
#include <stdint.h>

#include "Platform.h"

struct EngineLaunch {
    const char16_t* commandLine;  // the launcher's own, for the silent switches
    const StubString* launcherPath;
    const StubString* runFolder;  // the copy's own folder, removed after it
    const StubString* copyPath;
    StubString* arguments;        // may get " /noadmin" appended
    uint32_t windowsMajor;        // 0 when the version query failed
    uint8_t elevationMode;        // 1: "runas" when silent; 2: " /noadmin" when silent
    bool waitAndDelete;           // false when the locator's minimumFileSize is set
    Handle heldCopy;              // released once the engine has started
};

enum class StartKind { Direct, Shell };

struct StartPlan {
    StartKind kind = StartKind::Direct;
    const char16_t* verb = nullptr;  // shell start only
    bool appendNoAdmin = false;
    bool noErrorUi = false;          // a run nobody watches: no dialog from the shell either
};

// The decision table.  Asks the administrator test only on Windows 6 and later.
StartPlan PlanEngineStart(Platform& platform, const char16_t* commandLine, uint32_t windowsMajor,
                          uint8_t elevationMode);

// Starts the engine and returns the launcher's exit code: the engine's own
// when the launcher waited for it, 0 when it did not wait.  After the wait
// the copy is deleted, then its folder.  A failed start shows the
// engine-start message and ends the process, leaving both.
uint32_t StartEngine(Platform& platform, const EngineLaunch& launch);
