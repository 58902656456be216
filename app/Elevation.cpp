#include "app/Elevation.h"

#include <cstdio>

bool isProcessElevated()
{
    const TokenElevationAnswer answer = queryTokenElevation();
    switch (answer.outcome)
    {
    case TokenElevationAnswer::Outcome::elevated:
        return true;
    case TokenElevationAnswer::Outcome::notElevated:
        return false;
    case TokenElevationAnswer::Outcome::openTokenFailed:
        std::printf("\n Failed to get Process Token :%d.", answer.errorNumber);
        return false;
    case TokenElevationAnswer::Outcome::queryTokenFailed:
        std::printf("\nFailed to get Token Information :%d.", answer.errorNumber);
        return false;
    }
    return false;
}
