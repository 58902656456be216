#include "app/Elevation.h"

#include "base/RunLog.h"

#include <cstdio>

bool isProcessElevated()
{
    const TokenElevationAnswer answer = queryTokenElevation();
    juce::String why;
    switch (answer.outcome)
    {
    case TokenElevationAnswer::Outcome::elevated:
        logRunEvent("elevation: the token is elevated");
        return true;
    case TokenElevationAnswer::Outcome::notElevated:
        why = "the token is not elevated";
        break;
    case TokenElevationAnswer::Outcome::openTokenFailed:
        std::printf("\n Failed to get Process Token :%d.", answer.errorNumber);
        why = "the process token could not be opened (error " + juce::String(answer.errorNumber) + ")";
        break;
    case TokenElevationAnswer::Outcome::queryTokenFailed:
        std::printf("\nFailed to get Token Information :%d.", answer.errorNumber);
        why = "the token's elevation could not be read (error " + juce::String(answer.errorNumber) + ")";
        break;
    }
    logRunEvent("elevation: " + why);
    noteExitReason(why);
    return false;
}
