// The real POSIX process layer against real processes: copies of sleep(1) under companion names and
// near-miss names, ended or left running by terminateCompanionProcesses().
#include "app/CompanionProcesses.h"

#include <gtest/gtest.h>
#include <juce_core/juce_core.h>
#include <memory>

namespace
{
struct StandIn
{
    juce::String name;
    bool shouldBeEnded;
    std::unique_ptr<juce::ChildProcess> process = std::make_unique<juce::ChildProcess>();
};

// Gives back true once the process has gone, polling for at most five seconds.
bool endsWithinFiveSeconds(juce::ChildProcess& process)
{
    for (int attempt = 0; attempt < 100 && process.isRunning(); ++attempt)
        juce::Thread::sleep(50);
    return !process.isRunning();
}

TEST(CompanionProcessesPosix, endsRealProcessesByWholeExecutableName)
{
    const juce::TemporaryFile folder;
    ASSERT_TRUE(folder.getFile().createDirectory());

    std::vector<StandIn> standIns;
    for (const auto& [name, ended] : std::vector<std::pair<const char*, bool>>{{"up5.exe", true},
                                                                               {"UP5.EXE", true},
                                                                               {"hx deck.exe", true},
                                                                               {"unitpanel.exe", true},
                                                                               {"hxdeck.exe", false},
                                                                               {"up5.exe.bak", false},
                                                                               {"myup5.exe", false}})
        standIns.push_back({name, ended});

    for (auto& standIn : standIns)
    {
        const juce::File program = folder.getFile().getChildFile(standIn.name);
        ASSERT_TRUE(juce::File("/bin/sleep").copyFileTo(program));
        ASSERT_TRUE(program.setExecutePermission(true));
        ASSERT_TRUE(standIn.process->start(juce::StringArray{program.getFullPathName(), "30"}, 0));
    }
    juce::Thread::sleep(200); // let every exec finish, so /proc names the copies

    EXPECT_TRUE(terminateCompanionProcesses());

    for (auto& standIn : standIns)
    {
        if (standIn.shouldBeEnded)
            EXPECT_TRUE(endsWithinFiveSeconds(*standIn.process)) << standIn.name;
        else
            EXPECT_TRUE(standIn.process->isRunning()) << standIn.name << " must be left running";
        standIn.process->kill();
    }
}
} // namespace
