#include "install/SetupProgram.h"

#include "app/InstallerExitCode.h"
#include "base/RunLog.h"

namespace
{
// Shells report a child ended by signal N as 128 + N; a crash must never read as success.
constexpr int signalExitBase = 128;
} // namespace

int runSetupProgram(const juce::String& setupProgramPath)
{
    logRunEvent("setup program starting: " + outsideText(setupProgramPath));
    const auto started = juce::Time::getMillisecondCounterHiRes();
    const auto end = runProgramToEnd(setupProgramPath);
    const auto ranFor =
        " after " + juce::String((juce::int64)(juce::Time::getMillisecondCounterHiRes() - started)) + " ms";

    switch (end.kind)
    {
    case ProgramEnd::Kind::exited:
    {
        const auto code = static_cast<int>(end.value);
        const auto what = "the setup program exited with " + juce::String(code) +
                          (code < 0 ? " (" + juce::String(end.value) + ")" : juce::String()) + ranFor;
        logRunEvent(what);
        noteExitReason(what, ExitSource::setupProgram);
        return code;
    }
    case ProgramEnd::Kind::killedBySignal:
    {
        const auto what = "the setup program was ended by signal " + juce::String(end.value) + ranFor;
        logRunEvent(what);
        noteExitReason(what + ", which reads as " + juce::String(signalExitBase + (int)end.value),
                       ExitSource::setupProgram);
        return signalExitBase + static_cast<int>(end.value);
    }
    case ProgramEnd::Kind::notStarted:
        noteExitReason("the setup program " + outsideText(setupProgramPath) + " could not be started" +
                       (end.value != 0 ? " (error " + juce::String(end.value) + ")" : juce::String()));
        break;
    case ProgramEnd::Kind::endUnknown:
        noteExitReason("the setup program ran, but how it ended could not be learned" + ranFor);
        break;
    }

    // An end that was not learned is no success either: it reads as a setup program that did not run.
    return setupProgramMissing;
}
