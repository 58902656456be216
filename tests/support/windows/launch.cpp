// strell-launch: starts one program the way a Windows parent would and reports the child's exit code as
// GetExitCodeProcess gives it (all 32 bits, unsigned), which a Linux shell running Wine cannot see.
//
//   strell-launch [--limited] [--timeout-ms N] [--] program [arguments...]
//
// The child inherits this program's standard handles, so its diagnostics reach whoever reads ours.
// --limited starts it with the limited token linked to our own (elevated) token.
// Printed on standard output once the child has ended: "exit-code: <unsigned decimal>".
// With --limited, also "limited-token-elevated: <0|1>" before the child starts.
// Our own exit code: 0 when the child's code was read, otherwise one of the codes below.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{
constexpr int usageError = 2;
constexpr int startFailed = 3;
constexpr int limitedTokenFailed = 4;
constexpr int timedOut = 5;
constexpr int waitFailed = 6;

constexpr unsigned long defaultTimeoutMs = 120000;
constexpr unsigned long longestTimeoutMs = 3600000;

// Takes one argument; gives it back quoted the way CommandLineToArgvW and the C runtime split it again.
std::string quoteArgument(const std::string& argument)
{
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos)
        return argument;

    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : argument)
    {
        if (c == '\\')
        {
            ++backslashes;
            continue;
        }
        if (c == '"')
            quoted.append(backslashes * 2 + 1, '\\');
        else
            quoted.append(backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    quoted += '"';
    return quoted;
}

// Takes a Win32 error number; prints "<what> failed: error <n>" on standard error.
void reportFailure(const char* what, DWORD error)
{
    std::fprintf(stderr, "strell-launch: %s failed: error %lu\n", what, static_cast<unsigned long>(error));
    std::fflush(stderr);
}

// Gives back in *primary a primary token made from the limited token linked to our own, or false after
// printing which call failed. Prints whether that token is elevated.
bool openLimitedToken(HANDLE* primary)
{
    HANDLE own = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &own))
    {
        reportFailure("OpenProcessToken", GetLastError());
        return false;
    }

    TOKEN_LINKED_TOKEN linked{};
    DWORD length = 0;
    const bool gotLinked = GetTokenInformation(own, TokenLinkedToken, &linked, sizeof linked, &length);
    const DWORD linkedError = GetLastError();
    CloseHandle(own);
    if (!gotLinked)
    {
        reportFailure("GetTokenInformation(TokenLinkedToken)", linkedError);
        return false;
    }

    const bool duplicated = DuplicateTokenEx(linked.LinkedToken, MAXIMUM_ALLOWED, nullptr,
                                             SecurityImpersonation, TokenPrimary, primary);
    const DWORD duplicateError = GetLastError();
    CloseHandle(linked.LinkedToken);
    if (!duplicated)
    {
        reportFailure("DuplicateTokenEx", duplicateError);
        return false;
    }

    TOKEN_ELEVATION elevation{};
    if (!GetTokenInformation(*primary, TokenElevation, &elevation, sizeof elevation, &length))
    {
        reportFailure("GetTokenInformation(TokenElevation)", GetLastError());
        CloseHandle(*primary);
        return false;
    }
    std::printf("limited-token-elevated: %d\n", elevation.TokenIsElevated ? 1 : 0);
    std::fflush(stdout);
    return true;
}
} // namespace

// Takes the options and the child's command; prints the child's exit code; returns 0 or a failure code.
int main(int argc, char** argv)
{
    bool limited = false;
    unsigned long timeoutMs = defaultTimeoutMs;
    int first = 1;
    for (; first < argc; ++first)
    {
        const std::string option = argv[first];
        if (option == "--limited")
            limited = true;
        else if (option == "--timeout-ms" && first + 1 < argc)
        {
            char* end = nullptr;
            timeoutMs = std::strtoul(argv[++first], &end, 10);
            if (*end != '\0' || timeoutMs == 0 || timeoutMs > longestTimeoutMs)
            {
                std::fprintf(stderr, "strell-launch: --timeout-ms takes 1 to %lu\n", longestTimeoutMs);
                return usageError;
            }
        }
        else if (option == "--")
        {
            ++first;
            break;
        }
        else if (option.rfind("--", 0) == 0)
        {
            std::fprintf(stderr, "strell-launch: unknown option %s\n", option.c_str());
            return usageError;
        }
        else
            break;
    }
    if (first >= argc)
    {
        std::fprintf(stderr,
                     "usage: strell-launch [--limited] [--timeout-ms N] [--] program [arguments...]\n");
        return usageError;
    }

    std::string commandLine;
    for (int i = first; i < argc; ++i)
    {
        if (!commandLine.empty())
            commandLine += ' ';
        commandLine += quoteArgument(argv[i]);
    }

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child{};

    std::fflush(stdout);
    bool started = false;
    if (limited)
    {
        HANDLE token = nullptr;
        if (!openLimitedToken(&token))
            return limitedTokenFailed;
        started = CreateProcessAsUserA(token, argv[first], &commandLine[0], nullptr, nullptr, TRUE, 0,
                                       nullptr, nullptr, &startup, &child);
        const DWORD error = GetLastError();
        CloseHandle(token);
        if (!started)
        {
            reportFailure("CreateProcessAsUserA", error);
            return limitedTokenFailed;
        }
    }
    else
    {
        started = CreateProcessA(argv[first], &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                 &startup, &child);
        if (!started)
        {
            reportFailure("CreateProcessA", GetLastError());
            return startFailed;
        }
    }
    CloseHandle(child.hThread);

    const DWORD waited = WaitForSingleObject(child.hProcess, timeoutMs);
    if (waited != WAIT_OBJECT_0)
    {
        const DWORD error = GetLastError();
        TerminateProcess(child.hProcess, 1);
        WaitForSingleObject(child.hProcess, 5000);
        CloseHandle(child.hProcess);
        if (waited == WAIT_TIMEOUT)
        {
            std::fprintf(stderr, "strell-launch: child still running after %lu ms, ended it\n", timeoutMs);
            return timedOut;
        }
        reportFailure("WaitForSingleObject", error);
        return waitFailed;
    }

    DWORD exitCode = 0;
    const bool gotCode = GetExitCodeProcess(child.hProcess, &exitCode);
    const DWORD error = GetLastError();
    CloseHandle(child.hProcess);
    if (!gotCode)
    {
        reportFailure("GetExitCodeProcess", error);
        return waitFailed;
    }
    std::printf("\nexit-code: %lu\n", static_cast<unsigned long>(exitCode));
    std::fflush(stdout);
    return 0;
}
