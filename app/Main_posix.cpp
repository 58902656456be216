#include "app/RunSequence.h"

#include <juce_events/juce_events.h>

// Arguments are ignored, as on Windows.
int main()
{
    // JUCE installs its tolerant X error handlers only in what it takes for a standalone app; without them
    // the progress window dies of an X error under some servers. No application object is ever made.
    juce::JUCEApplicationBase::createInstance = []() -> juce::JUCEApplicationBase* { return nullptr; };
    return runInstaller();
}
