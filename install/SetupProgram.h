#pragma once

#include <juce_core/juce_core.h>

#include <cstdint>

// Takes the setup program's full path; starts it with that path as its one argument (no others), drains its
// output while waiting in slices of setupProgramWaitSliceMs, and gives back its exit code with the same 32
// bits (POSIX: the low 8 bits the OS keeps), 128 + N when signal N ended it (as shells report it), or
// setupProgramMissing when it could not be started: no file, no program format (POSIX runs only ELF files and
// "#!" scripts, never a shell fallback), or no start. Blocks until it has ended. Writes the start and the end
// to the run log and notes the reason for the exit code (the setup program's own, or why it did not run); on
// POSIX the file gets the execute permission for owner, group and others (an unpacked archive entry or a
// download has none).
[[nodiscard]] int runSetupProgram(const juce::String& setupProgramPath);

// How one program run ended, as the platform layer saw it.
struct ProgramEnd
{
    enum class Kind
    {
        notStarted,     // nothing ran: no file, not a program, or no process; value: the OS error, if known
        exited,         // value: the exit code as the OS gives it
        killedBySignal, // value: the signal number
        endUnknown,     // it ran, but its status could not be learned (another waiter reaped it)
    };

    Kind kind = Kind::notStarted;
    std::uint32_t value = 0;
};

// Platform layer (SetupProgram_posix.cpp, SetupProgram_windows.cpp). Takes a program's full path; runs it
// as runSetupProgram describes (output into one pipe drained while waiting, no standard input; POSIX: the
// format checked on the open file that is then run, no descriptor of ours inherited). Gives back how it
// ended.
[[nodiscard]] ProgramEnd runProgramToEnd(const juce::String& programPath);
