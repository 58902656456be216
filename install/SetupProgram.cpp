#include "install/SetupProgram.h"

#include "app/InstallerExitCode.h"

namespace
{
// Shells report a child ended by signal N as 128 + N; a crash must never read as success.
constexpr int signalExitBase = 128;
} // namespace

int runSetupProgram(const juce::String& setupProgramPath)
{
    const auto end = runProgramToEnd(setupProgramPath);

    switch (end.kind)
    {
    case ProgramEnd::Kind::exited:
        return static_cast<int>(end.value);
    case ProgramEnd::Kind::killedBySignal:
        return signalExitBase + static_cast<int>(end.value);
    case ProgramEnd::Kind::notStarted:
    case ProgramEnd::Kind::endUnknown:
        break;
    }

    // An end that was not learned is no success either: it reads as a setup program that did not run.
    return setupProgramMissing;
}
