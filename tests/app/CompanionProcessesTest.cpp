// The ending of the companion applications against the fake process list (tests/fakes/FakeRunSteps.cpp):
// which names match, and what happens when a process cannot be opened or the list cannot be read.
#include "app/CompanionProcesses.h"
#include "tests/fakes/FakeRunSteps.h"

#include <gtest/gtest.h>

namespace
{
TEST(CompanionProcesses, endsEveryWholeNameMatchInAnyCaseAndNothingElse)
{
    fakeRunSteps = FakeRunSteps{};
    fakeRunSteps.runningProcesses = {
        {10, "up5.exe"},
        {11, "UP5.EXE"},
        {12, "Hx Deck.exe"},
        {13, "unitpanel.exe"},
        {14, "UnitPanel.EXE"},
        {15, "up5.exe"},
        {20, "hxdeck.exe"},
        {21, "up5.exe.bak"},
        {22, "myup5.exe"},
        {23, "up5"},
        {24, "unitpanel.exe "},
        {25, "hx  deck.exe"},
        {26, "UP5.EX\xC9"},
        {27, "up5.ex\xe9"},
        {28, ""},
        {29, "c:\\tools\\up5.exe"},
    };

    EXPECT_TRUE(terminateCompanionProcesses());

    EXPECT_EQ(fakeRunSteps.terminated, (std::vector<std::uint32_t>{10, 11, 12, 13, 14, 15}));
    EXPECT_EQ(fakeRunSteps.terminationExitCodes, std::vector<unsigned int>(6, 1u));
}

TEST(CompanionProcesses, aProcessThatCannotBeOpenedIsSkippedAndTheWalkGoesOn)
{
    fakeRunSteps = FakeRunSteps{};
    fakeRunSteps.runningProcesses = {{30, "up5.exe"}, {31, "up5.exe"}, {32, "hx deck.exe"}};
    fakeRunSteps.unopenableProcesses = {30};

    EXPECT_TRUE(terminateCompanionProcesses());
    EXPECT_EQ(fakeRunSteps.terminated, (std::vector<std::uint32_t>{31, 32}));

    fakeRunSteps.processListReadable = false;
    fakeRunSteps.terminated.clear();
    EXPECT_FALSE(terminateCompanionProcesses());
    EXPECT_TRUE(fakeRunSteps.terminated.empty());
}
} // namespace
