// The launcher's view of its command line: splitting into arguments, switch
// matching, the package path (as UNC where possible) and the argument string
// handed on to the setup engine.
#pragma once
#include <stdint.h>

#include "Platform.h"

// Number of arguments after the program name: N.
int32_t ArgumentCount(const char16_t* commandLine);
// Argument index (1..N); empty beyond N.
void Argument(const char16_t* commandLine, int32_t index, StubString& argument);

// Same length and equal after folding a-z to A-Z; every other character
// compares exactly.
bool SwitchMatches(const StubString& argument, const char16_t* name);

// True when some argument, scanned from the last down to the first, matches
// one of the names by SwitchMatches (second may be null).
bool HasSwitch(const char16_t* commandLine, const char16_t* name, const char16_t* second = nullptr);

// The launcher path, converted to its universal (UNC) name when it starts
// with a drive letter and the network provider knows it.
void PackagePath(Platform& platform, const StubString& launcherPath, StubString& packagePath);

// The quoted package path followed by every argument, each re-quoted when it
// holds a space or another character up to U+0020 (its trailing backslashes
// after the closing quote), so that the engine splits them back the same
// way, by this launcher's rule or by the C runtime's.
void BuildArgumentString(Platform& platform, const char16_t* commandLine,
                         const StubString& launcherPath, StubString& arguments);
