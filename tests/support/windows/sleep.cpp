// strell-sleep: does nothing but wait, so that copies of it under other names stand in for running
// applications.
//
//   strell-sleep [seconds]
//
// Waits the given number of seconds (default 120, at most 600) and exits with 0.
#include <windows.h>

#include <cstdlib>

namespace
{
constexpr unsigned long defaultSeconds = 120;
constexpr unsigned long longestSeconds = 600;
} // namespace

// Takes an optional wait in seconds; sleeps that long; returns 0 (2 for an unreadable argument).
int main(int argc, char** argv)
{
    unsigned long seconds = defaultSeconds;
    if (argc > 1)
    {
        char* end = nullptr;
        seconds = std::strtoul(argv[1], &end, 10);
        if (*end != '\0')
            return 2;
    }
    if (seconds > longestSeconds)
        seconds = longestSeconds;
    Sleep(seconds * 1000);
    return 0;
}
