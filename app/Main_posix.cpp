#include "app/OwnEnvironment.h"
#include "app/RunSequence.h"

#include <juce_events/juce_events.h>

// Arguments are ignored, as on Windows.
int main()
{
    // First of all: no library has read the caller's environment yet.
    useOwnEnvironment(STRELL_KEPT_ENVIRONMENT);
    // JUCE installs its tolerant X error handlers only in what it takes for a standalone app; without them
    // the progress window dies of an X error under some servers. No application object is ever made.
    juce::JUCEApplicationBase::createInstance = []() -> juce::JUCEApplicationBase* { return nullptr; };
    return runInstaller();
}
