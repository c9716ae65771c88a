// The launchers built into mkpackage, so that vendors install one tool: the
// build embeds stub32.exe and stub64.exe as they came out of the Windows
// builds (see cmake/EmbedLaunchers.cmake).
#pragma once
#include <cstddef>
#include <cstdint>

struct EmbeddedLauncher {
    const char* name;  // "stub32.exe", "stub64.exe"
    const uint8_t* data;
    size_t size;
};

// The built-in 32-bit and 64-bit launchers; null when this mkpackage was
// built without them (then `build` needs --stub).
const EmbeddedLauncher* BuiltInLauncher(bool x64);
