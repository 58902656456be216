#include "tests/support/setup-program/FakeSetup.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>

namespace
{
int lifetimeExitCode = 0;
DWORD lifetimeMs = 0;

// Takes UTF-16 text; gives it back as UTF-8.
std::string utf8(const wchar_t* text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);

    if (size <= 1)
        return {};

    std::string out((size_t)size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
    out.resize((size_t)size - 1);
    return out;
}

DWORD WINAPI endLifetime(LPVOID)
{
    Sleep(lifetimeMs);
    // TerminateProcess rather than ExitProcess: the main thread may be stuck in a write.
    TerminateProcess(GetCurrentProcess(), (UINT)lifetimeExitCode);
    return 0;
}
} // namespace

Invocation currentInvocation(int, char**)
{
    Invocation invocation;
    const wchar_t* commandLine = GetCommandLineW();
    invocation.hasCommandLine = true;
    invocation.commandLine = utf8(commandLine);

    int count = 0;

    if (wchar_t** arguments = CommandLineToArgvW(commandLine, &count); arguments != nullptr)
    {
        for (int i = 0; i < count; ++i)
            invocation.arguments.push_back(utf8(arguments[i]));

        LocalFree(arguments);
    }

    std::wstring path(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, &path[0], (DWORD)path.size());
    path.resize(length);
    invocation.ownPath = utf8(path.c_str());
    invocation.imagePath = invocation.ownPath; // Windows keeps a running image's file from being changed
    return invocation;
}

bool isWindowOpen(const std::string& title)
{
    return FindWindowA(nullptr, title.c_str()) != nullptr;
}

void prepareOutputStreams()
{
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

void sleepFor(unsigned milliseconds)
{
    Sleep(milliseconds);
}

void startLifetimeBound(unsigned seconds, int exitCode)
{
    lifetimeExitCode = exitCode;
    lifetimeMs = seconds * 1000u;

    if (HANDLE thread = CreateThread(nullptr, 0, endLifetime, nullptr, 0, nullptr); thread != nullptr)
        CloseHandle(thread);
}

void exitWith(std::uint32_t code)
{
    std::fflush(nullptr);
    ExitProcess(code);
}
