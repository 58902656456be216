#include "app/CompanionProcesses.h"

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <unistd.h>

namespace
{
// The executable's file name: the last component of /proc/<pid>/exe, which is never truncated; when the
// link cannot be read (another user's process without privilege, a kernel thread), the kernel's comm.
std::string executableFileName(const char* pidText)
{
    const std::string folder = std::string("/proc/") + pidText;
    char target[4096];
    const ssize_t length = readlink((folder + "/exe").c_str(), target, sizeof target - 1);
    if (length > 0)
    {
        std::string path(target, static_cast<size_t>(length));
        const std::string deleted = " (deleted)";
        if (path.size() > deleted.size() &&
            path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
            path.resize(path.size() - deleted.size());
        return path.substr(path.find_last_of('/') + 1);
    }

    std::string comm;
    if (FILE* file = std::fopen((folder + "/comm").c_str(), "r"))
    {
        char line[64] = {};
        if (std::fgets(line, sizeof line, file) != nullptr)
            comm.assign(line, std::strcspn(line, "\n"));
        std::fclose(file);
    }
    return comm;
}

bool isProcessIdText(const char* name)
{
    if (*name == 0)
        return false;
    for (const char* c = name; *c != 0; ++c)
        if (!std::isdigit(static_cast<unsigned char>(*c)))
            return false;
    return true;
}
} // namespace

bool walkRunningProcesses(const std::function<void(std::uint32_t processId, const char* exeFile)>& visit)
{
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return false;

    while (const dirent* entry = readdir(proc))
    {
        if (!isProcessIdText(entry->d_name))
            continue;
        const std::string name = executableFileName(entry->d_name);
        visit(static_cast<std::uint32_t>(std::strtoul(entry->d_name, nullptr, 10)), name.c_str());
    }

    closedir(proc);
    return true;
}

// A signal cannot choose the exit code: SIGKILL ends the process without asking, as the Windows build does.
bool terminateProcessById(std::uint32_t processId, unsigned int /*exitCode*/)
{
    const auto pid = static_cast<pid_t>(processId);
    if (pid <= 0 || pid == getpid())
        return false;
    return kill(pid, SIGKILL) == 0;
}
