#include "tests/support/setup-program/FakeSetup.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <limits.h>
#include <unistd.h>

namespace
{
int lifetimeExitCode = 0;
constexpr size_t maxWindowsVisited = 100000;

void endLifetime(int)
{
    _exit(lifetimeExitCode);
}

// Windows may vanish while the tree is walked; their errors are no reason to stop.
int ignoreXError(Display*, XErrorEvent*)
{
    return 0;
}

// Takes a display, a window and a title property; gives back its text whatever its type (JUCE writes
// WM_NAME as UTF8_STRING, which XFetchName does not return), or an empty text.
std::string propertyText(Display* display, Window window, Atom property)
{
    Atom type = None;
    int format = 0;
    unsigned long count = 0, remaining = 0;
    unsigned char* data = nullptr;
    std::string text;

    if (XGetWindowProperty(display, window, property, 0, 4096, False, AnyPropertyType, &type, &format, &count,
                           &remaining, &data) == Success &&
        data != nullptr)
    {
        if (format == 8)
            text.assign(reinterpret_cast<char*>(data), count);
        XFree(data);
    }
    return text;
}

// Takes a display, a window and a title; gives back whether _NET_WM_NAME or WM_NAME equals the title.
bool hasTitle(Display* display, Window window, const std::string& title, Atom netWmName)
{
    return propertyText(display, window, netWmName) == title ||
           propertyText(display, window, XA_WM_NAME) == title;
}
} // namespace

Invocation currentInvocation(int argc, char** argv)
{
    Invocation invocation;

    for (int i = 0; i < argc; ++i)
        invocation.arguments.emplace_back(argv[i]);

    invocation.hasEnvironment = true;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry)
        invocation.environmentNames.emplace_back(*entry, std::strcspn(*entry, "="));
    std::sort(invocation.environmentNames.begin(), invocation.environmentNames.end());

    char path[PATH_MAX + 1] = {};
    const auto length = readlink("/proc/self/exe", path, PATH_MAX);
    invocation.ownPath.assign(path, length > 0 ? (size_t)length : 0);

    // Listed first thing, before the record or the display opens one of its own.
    if (DIR* folder = opendir("/proc/self/fd"); folder != nullptr)
    {
        invocation.hasDescriptors = true;

        while (const dirent* entry = readdir(folder))
        {
            const int fd = std::atoi(entry->d_name);

            if (entry->d_name[0] < '0' || entry->d_name[0] > '9' || fd == dirfd(folder))
                continue;

            char target[PATH_MAX + 1] = {};
            const auto size = readlinkat(dirfd(folder), entry->d_name, target, PATH_MAX);
            invocation.descriptors.emplace_back(fd, std::string(target, size > 0 ? (size_t)size : 0));
        }

        closedir(folder);
        std::sort(invocation.descriptors.begin(), invocation.descriptors.end());
    }

    invocation.imagePath = "/proc/self/exe";
    return invocation;
}

bool isWindowOpen(const std::string& title)
{
    const char* name = std::getenv("DISPLAY");

    if (name == nullptr || *name == '\0')
        return false;

    Display* display = XOpenDisplay(name);

    if (display == nullptr)
        return false;

    XSetErrorHandler(ignoreXError);
    const Atom netWmName = XInternAtom(display, "_NET_WM_NAME", False);

    // Every window below the root is looked at: a window manager may have reparented the top-level one.
    std::vector<Window> pending{DefaultRootWindow(display)};
    bool found = false;

    for (size_t visited = 0; !pending.empty() && !found && visited < maxWindowsVisited; ++visited)
    {
        const Window window = pending.back();
        pending.pop_back();
        found = hasTitle(display, window, title, netWmName);

        Window root = 0, parent = 0;
        Window* children = nullptr;
        unsigned int childCount = 0;

        if (XQueryTree(display, window, &root, &parent, &children, &childCount) != 0 && children != nullptr)
        {
            pending.insert(pending.end(), children, children + childCount);
            XFree(children);
        }
    }

    XCloseDisplay(display);
    return found;
}

void prepareOutputStreams() {}

void sleepFor(unsigned milliseconds)
{
    timespec left{(time_t)(milliseconds / 1000), (long)(milliseconds % 1000) * 1000000L};

    while (nanosleep(&left, &left) != 0 && errno == EINTR)
    {
    }
}

void startLifetimeBound(unsigned seconds, int exitCode)
{
    lifetimeExitCode = exitCode;
    std::signal(SIGALRM, endLifetime);
    alarm(seconds);
}

void exitWith(std::uint32_t code)
{
    std::fflush(nullptr);
    std::exit((int)(code & 0xff));
}
