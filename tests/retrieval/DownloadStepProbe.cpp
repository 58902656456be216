// download-step-probe <model slot>: runs the driver step (downloadAndInstallDriver) as the installer does,
// while a timer on the message thread looks at the installer's top-level windows every 10 ms. Prints one
// JSON line per change of what it saw, then "result <exit code>" and "windows-after <count>":
//   {"windows":[{"title":...,"message":...,"visible":...,"onDesktop":...,"modal":...,"hasPeer":...,
//                "progressBars":n,"buttons":n,"textEditors":n,"comboBoxes":n}], "atMs":<since the step
//                began>}
// The message is read back from the window itself (its accessible description is "<title>. <message>").
// The timer only runs while the step dispatches messages: from the window's showing (the catalogue fetch
// included) to its closing.

#include "retrieval/DriverDownload.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <cstdio>
#include <iostream>

namespace
{
constexpr int sampleIntervalMs = 10;

juce::StringArray observations;
juce::Array<juce::int64> observedAtMs;
juce::int64 stepStartMs = 0;
bool sampling = false;

// Takes a component; gives back how many of its descendants are of type T.
template <typename T> int countDescendants(juce::Component& parent)
{
    int count = 0;
    for (auto* child : parent.getChildren())
        count += (dynamic_cast<T*>(child) != nullptr ? 1 : 0) + countDescendants<T>(*child);
    return count;
}

// Takes nothing; gives back what the installer's top-level windows look like now, as one JSON line.
juce::String describeWindows()
{
    juce::Array<juce::var> windows;
    for (int i = 0; i < juce::TopLevelWindow::getNumTopLevelWindows(); ++i)
    {
        auto* window = juce::TopLevelWindow::getTopLevelWindow(i);
        const juce::String title = window->getName();
        juce::String message = window->getDescription();
        if (message.startsWith(title + ". "))
            message = message.substring(title.length() + 2);

        auto* object = new juce::DynamicObject();
        object->setProperty("title", title);
        object->setProperty("message", message);
        object->setProperty("visible", window->isVisible());
        object->setProperty("onDesktop", window->isOnDesktop());
        object->setProperty("modal", window->isCurrentlyModal(false));
        object->setProperty("hasPeer", window->getPeer() != nullptr);
        object->setProperty("progressBars", countDescendants<juce::ProgressBar>(*window));
        object->setProperty("buttons", countDescendants<juce::Button>(*window));
        object->setProperty("textEditors", countDescendants<juce::TextEditor>(*window));
        object->setProperty("comboBoxes", countDescendants<juce::ComboBox>(*window));
        windows.add(juce::var(object));
    }
    auto* root = new juce::DynamicObject();
    root->setProperty("windows", windows);
    return juce::JSON::toString(juce::var(root), true);
}

// Takes nothing; records the windows when they differ from the last record, and comes back after the
// sampling interval for as long as the step runs.
void sampleWindows()
{
    if (!sampling)
        return;
    const juce::String now = describeWindows();
    if (observations.isEmpty() || observations[observations.size() - 1] != now)
    {
        observations.add(now);
        observedAtMs.add(juce::Time::currentTimeMillis() - stepStartMs);
    }
    juce::Timer::callAfterDelay(sampleIntervalMs, sampleWindows);
}
} // namespace

// Takes the model slot as its one argument; prints the observations and the step's result; gives back 0,
// or 2 for a missing argument.
int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::cerr << "usage: download-step-probe <model slot>" << std::endl;
        return 2;
    }
    const int modelSlot = juce::String(argv[1]).getIntValue();

    // As in the installer: JUCE's tolerant X error handlers come only with an application factory.
    juce::JUCEApplicationBase::createInstance = []() -> juce::JUCEApplicationBase* { return nullptr; };
    const juce::ScopedJuceInitialiser_GUI framework;

    sampling = true;
    stepStartMs = juce::Time::currentTimeMillis();
    juce::Timer::callAfterDelay(sampleIntervalMs, sampleWindows);
    const int result = downloadAndInstallDriver(modelSlot);
    sampling = false;

    for (int i = 0; i < observations.size(); ++i)
    {
        auto observation = juce::JSON::parse(observations[i]);
        observation.getDynamicObject()->setProperty("atMs", observedAtMs[i]);
        std::printf("%s\n", juce::JSON::toString(observation, true).toRawUTF8());
    }
    std::printf("result %d\nwindows-after %d\n", result, juce::TopLevelWindow::getNumTopLevelWindows());
    return 0;
}
