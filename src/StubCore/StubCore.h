// The launcher's main sequence: verify the package, choose the engine, pass
// the Windows gate, decode the engine into a temporary copy, start it, wait,
// clean up.  Every failure ends the process from inside a step.
#pragma once
#include <stdint.h>

class Platform;

// Runs the whole sequence once; returns the exit code of a normal run.
uint32_t RunLauncher(Platform& platform);
