#pragma once

// Link-time stand-ins for the elevation query, the process list and the driver step, so that the run
// sequence can be driven and observed in-process. Each test sets the globals before the run.
#include "app/Elevation.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct FakeRunSteps
{
    TokenElevationAnswer elevation{TokenElevationAnswer::Outcome::elevated, 0};

    bool processListReadable = true;
    std::vector<std::pair<std::uint32_t, std::string>> runningProcesses;
    std::vector<std::uint32_t> unopenableProcesses;

    int driverStepResult = 0;

    // Observations.
    std::vector<std::string> events;                // "walk", "elevation", "driver:<slot>" in call order
    std::vector<std::uint32_t> terminated;          // process ids ended, with
    std::vector<unsigned int> terminationExitCodes; // the exit code asked for
    bool frameworkUpDuringElevation = false;
    bool frameworkUpDuringDriverStep = false;
};

// Reset by every test.
extern FakeRunSteps fakeRunSteps;
