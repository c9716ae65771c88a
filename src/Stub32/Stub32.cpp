// The launcher's entry point: harden library loading, run the main sequence
// with the real platform, end the process with its exit code.
#include <windows.h>

#include "../NoRTLStream/StubMemory.h"
#include "../StubCore/StubCore.h"
#include "../StubCore/win32/Win32Platform.h"

// The launcher is built without the C++ runtime's error paths: a pure
// virtual call cannot happen, but if it did, end quietly rather than pull
// in libstdc++'s handler.
extern "C" void __cxa_pure_virtual() { ExitProcess(kOutOfMemoryExitCode); }

void OutOfMemory() { ExitProcess(kOutOfMemoryExitCode); }

// The process starts here, without the C runtime's start-up code: the
// launcher needs no argument parsing, static constructors, TLS callbacks or
// atexit handlers, and leaving them out saves several kilobytes in every
// package.  msvcrt's heap and memory functions work without it: the DLL
// initialises itself when it is loaded.  The entry never returns.
extern "C" __attribute__((force_align_arg_pointer)) void StubEntry() {
    Win32Platform platform(HardenLibraryLoading());
    platform.Exit(RunLauncher(platform));
}
