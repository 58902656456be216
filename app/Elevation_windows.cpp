#include "app/Elevation.h"

#include <windows.h>

TokenElevationAnswer queryTokenElevation()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return {TokenElevationAnswer::Outcome::openTokenFailed, static_cast<int>(GetLastError())};

    TOKEN_ELEVATION elevation{};
    DWORD returnLength = 0;
    TokenElevationAnswer answer{TokenElevationAnswer::Outcome::notElevated, 0};
    if (!GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &returnLength))
        answer = {TokenElevationAnswer::Outcome::queryTokenFailed, static_cast<int>(GetLastError())};
    else if (elevation.TokenIsElevated != 0)
        answer.outcome = TokenElevationAnswer::Outcome::elevated;

    CloseHandle(token);
    return answer;
}
