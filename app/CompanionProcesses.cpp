#include "app/CompanionProcesses.h"

#include "base/RunLog.h"

#include <juce_core/juce_core.h>

namespace
{
// Each byte of the name becomes one character of the same value (the system's ANSI code page is not
// decoded), so a name with bytes of 128 or more can never equal one of the all-ASCII table names.
bool isCompanionProcessName(const char* exeFile)
{
    juce::String name;
    for (const char* byte = exeFile; *byte != 0; ++byte)
        name += juce::String::charToString(static_cast<juce::juce_wchar>(static_cast<unsigned char>(*byte)));
    name = name.toLowerCase();

    for (const char* companion : companionProcessNames)
        if (name == companion)
            return true;
    return false;
}
} // namespace

bool terminateCompanionProcesses()
{
    int found = 0;
    const bool walked = walkRunningProcesses(
        [&found](std::uint32_t processId, const char* exeFile)
        {
            if (!isCompanionProcessName(exeFile))
                return;
            ++found;
            const bool opened = terminateProcessById(processId, 1);
            logRunEvent(juce::String(opened ? "companion process ended: "
                                            : "companion process could not be opened: ") +
                        outsideText(juce::String(exeFile)) + " (pid " + juce::String(processId) + ")");
        });
    if (!walked)
        logRunEvent("companion processes: the process list could not be read");
    else if (found == 0)
        logRunEvent("companion processes: none running");
    return walked;
}
