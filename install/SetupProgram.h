#pragma once

#include <juce_core/juce_core.h>

// Platform layer (SetupProgram_posix.cpp, SetupProgram_windows.cpp): makes the file runnable as a program
// by path (POSIX: adds the execute permission; Windows: nothing to do).
void makeRunnable(const juce::File& program);

// Takes the setup program's full path; starts it with that path as its one argument (no others), reads and
// discards its output while waiting in 44 ms slices, and gives back its exit code with the same 32 bits,
// or setupProgramMissing when it cannot be started. Blocks until it has ended; writes nothing.
int runSetupProgram(const juce::String& setupProgramPath);
