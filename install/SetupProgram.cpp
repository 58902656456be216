#include "install/SetupProgram.h"

#include "app/InstallerExitCode.h"

namespace
{
constexpr int waitSliceMs = 44;
constexpr int outputChunkBytes = 4096;
} // namespace

// Takes the setup program's full path; gives back its exit code (same 32 bits) or setupProgramMissing when
// it cannot be started. Makes the file runnable first, reads and discards all it writes; prints nothing.
int runSetupProgram(const juce::String& setupProgramPath)
{
    makeRunnable(juce::File(setupProgramPath));

    juce::ChildProcess process;

    // The path as the one argument: JUCE quotes it for the Windows command line and hands it whole as
    // argv[0] on POSIX, so a blank in the path cannot split it into another program and arguments.
    if (!process.start(juce::StringArray{setupProgramPath},
                       juce::ChildProcess::wantStdOut | juce::ChildProcess::wantStdErr))
        return setupProgramMissing;

    // Output is drained between the slices, or a program that fills the pipe would never end. A read
    // comes back short only once the program has ended (POSIX: its end of the pipe is closed), so draining
    // while chunks come back full keeps up with any writer. The wait is not asked again once it has
    // reported the end: on POSIX a second ask finds the child reaped and overwrites its exit code with 0.
    char chunk[outputChunkBytes];

    while (!process.waitForProcessToFinish(waitSliceMs))
        while (process.readProcessOutput(chunk, (int)sizeof(chunk)) == (int)sizeof(chunk))
        {
        }

    process.readAllProcessOutput();

    return static_cast<int>(process.getExitCode());
}
