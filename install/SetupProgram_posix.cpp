#include "install/SetupProgram.h"

// Takes a program file; adds the execute permission for owner, group and others (an unpacked archive
// entry has none). Gives back nothing; a file that is missing or cannot be changed is left as it is.
void makeRunnable(const juce::File& program)
{
    if (program.existsAsFile())
        program.setExecutePermission(true);
}
