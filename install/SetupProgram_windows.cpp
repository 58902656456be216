#include "install/SetupProgram.h"

#include "base/Limits.h"

#include <windows.h>

ProgramEnd runProgramToEnd(const juce::String& programPath)
{
    juce::ChildProcess process;

    // The path as the one argument: JUCE quotes it for the command line, so a blank in the path cannot
    // split it into another program and arguments. Windows itself refuses a file that is not a program.
    if (!process.start(juce::StringArray{programPath},
                       juce::ChildProcess::wantStdOut | juce::ChildProcess::wantStdErr))
        return {ProgramEnd::Kind::notStarted, static_cast<std::uint32_t>(::GetLastError())};

    // Output is drained between the slices, or a program that fills the pipe would never end. A read
    // comes back short only once the program has ended, so draining while chunks come back full keeps up
    // with any writer.
    char chunk[setupOutputReadBytesWindows];

    while (!process.waitForProcessToFinish(setupProgramWaitSliceMs))
        while (process.readProcessOutput(chunk, (int)sizeof(chunk)) == (int)sizeof(chunk))
        {
        }

    process.readAllProcessOutput();

    return {ProgramEnd::Kind::exited, process.getExitCode()};
}
