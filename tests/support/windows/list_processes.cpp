// strell-processes: lists the running processes as Tool Help sees them, or ends given ones.
//
//   strell-processes                 prints "<pid>\t<executable file name>" per process (name as on disk)
//   strell-processes --end <pid>...  ends each given process with exit code 1 and waits (bounded) for it
//   strell-processes --windows       prints "<pid>\t<title>" per visible top-level window that has a title
//
// Exits 0; 1 when no snapshot can be taken; 2 for bad arguments; 3 when a process could not be ended.
#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{
constexpr DWORD endWaitMs = 10000;

// Takes nothing; prints the process list; returns 0 or 1.
int listProcesses()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
    {
        std::fprintf(stderr, "strell-processes: CreateToolhelp32Snapshot failed: error %lu\n",
                     GetLastError());
        return 1;
    }
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        std::printf("%lu\t%s\n", static_cast<unsigned long>(entry.th32ProcessID), entry.szExeFile);
    CloseHandle(snapshot);
    return 0;
}

// Takes a window; prints its owner's pid and its title when it is visible and has a title; goes on.
BOOL CALLBACK printWindow(HWND window, LPARAM)
{
    char title[512];
    if (IsWindowVisible(window) && GetWindowTextA(window, title, sizeof title) > 0)
    {
        DWORD processId = 0;
        GetWindowThreadProcessId(window, &processId);
        std::printf("%lu\t%s\n", static_cast<unsigned long>(processId), title);
    }
    return TRUE;
}

// Takes a process id; ends that process and waits for it; prints why on failure; returns success.
bool endProcess(DWORD processId)
{
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId);
    if (process == nullptr)
    {
        std::fprintf(stderr, "strell-processes: OpenProcess(%lu) failed: error %lu\n",
                     static_cast<unsigned long>(processId), GetLastError());
        return false;
    }
    const bool ended =
        TerminateProcess(process, 1) && WaitForSingleObject(process, endWaitMs) == WAIT_OBJECT_0;
    if (!ended)
        std::fprintf(stderr, "strell-processes: process %lu did not end\n",
                     static_cast<unsigned long>(processId));
    CloseHandle(process);
    return ended;
}
} // namespace

// Takes nothing, "--windows", or "--end" and process ids; lists processes or windows, or ends processes;
// returns the exit code above.
int main(int argc, char** argv)
{
    if (argc == 1)
        return listProcesses();
    if (argc == 2 && std::strcmp(argv[1], "--windows") == 0)
        return EnumWindows(printWindow, 0) ? 0 : 1;
    if (std::strcmp(argv[1], "--end") != 0 || argc < 3)
    {
        std::fprintf(stderr, "usage: strell-processes [--end <pid>...]\n");
        return 2;
    }
    int result = 0;
    for (int i = 2; i < argc; ++i)
    {
        char* end = nullptr;
        const unsigned long processId = std::strtoul(argv[i], &end, 10);
        if (*end != '\0')
            return 2;
        if (!endProcess(static_cast<DWORD>(processId)))
            result = 3;
    }
    return result;
}
