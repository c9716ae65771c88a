// Packages for tests: a stand-in stub image and a sound package description
// that tests change field by field.
#pragma once
#include <cstdint>
#include <string>

#include "FakeWindows.h"
#include "PackageWriter.h"

// 1024 bytes: "MZ", e_lfanew = 256, zeros elsewhere.  Enough for the launcher,
// which never looks at its own image beyond the locator.
Bytes FakeStub(size_t size = 1024);

// Engine-like bytes: a repeating pattern with some noise, so that they
// compress but not to nothing.  Different seeds give different bytes.
Bytes EngineBytes(size_t size, uint32_t seed = 1);

// Both engines, every Windows version allowed, both messages present.
PackageRecipe SoundRecipe();

constexpr const char16_t* kWrongWidthText = u"This package needs a different processor.";
constexpr const char16_t* kUnsupportedText = u"Setup does not run on %USER%.";

// Places package at the fake launcher's path.
void InstallPackage(FakeWindows& fake, const Bytes& package);
