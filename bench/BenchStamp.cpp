// bench-stamp: the benchmarks' clock, as a stand-in setup program and as a launcher.
//   bench-stamp                     appends "setup <realtime ns> <monotonic ns> <pid>" to
//                                   $FAKE_SETUP_STAMP_FILE (a name the test builds of the installer pass on)
//                                   and exits 0 (any bytes appended to the program file are never read)
//   bench-stamp --run <program> ... appends "start ..." just before it starts the program, waits for it,
//                                   appends "end ..." and exits with the program's exit status (128 + the
//                                   signal when it was killed)
// Without FAKE_SETUP_STAMP_FILE nothing is written. Only the C library and POSIX, so that it starts in well
// under a millisecond and stays small.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
long long nanoseconds(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// Takes the event's name; appends its line with both clocks and this process's id, in one write.
void stamp(const char* event)
{
    const char* file = std::getenv("FAKE_SETUP_STAMP_FILE");
    if (file == nullptr || *file == '\0')
        return;
    char line[128];
    const int length =
        std::snprintf(line, sizeof line, "%s %lld %lld %d\n", event, nanoseconds(CLOCK_REALTIME),
                      nanoseconds(CLOCK_MONOTONIC), static_cast<int>(getpid()));
    const int out = open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (out < 0)
        return;
    if (write(out, line, static_cast<size_t>(length)) != length)
        std::fprintf(stderr, "bench-stamp: short write to %s\n", file);
    close(out);
}

// Takes the program and its arguments; runs it to its end and gives back its exit status.
int runStamped(char** argv)
{
    stamp("start");
    const pid_t child = fork();
    if (child < 0)
        return 125;
    if (child == 0)
    {
        execvp(argv[0], argv);
        std::fprintf(stderr, "bench-stamp: cannot run %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR)
            return 125;
    stamp("end");
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
} // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && std::strcmp(argv[1], "--run") == 0)
        return runStamped(argv + 2);
    if (argc != 1)
    {
        std::fprintf(stderr, "usage: bench-stamp [--run <program> [arguments]]\n");
        return 2;
    }
    stamp("setup");
    return 0;
}
