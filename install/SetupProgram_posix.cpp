#include "install/SetupProgram.h"

#include "base/Limits.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
constexpr int firstOwnDescriptor = 3; // above standard input, output and error
constexpr int failedStartExitCode = 127;

// The formats we start. A file in any other (shell text, an HTML page, a Windows program that a binfmt
// handler would take) is no program here, as Windows refuses a file that is not a program.
enum class ProgramFormat
{
    none,
    elf,
    script,
};

// One open descriptor, closed when the record goes.
struct ScopedDescriptor
{
    int fd = -1;

    ScopedDescriptor() = default;
    explicit ScopedDescriptor(int openFd) : fd(openFd) {}
    ScopedDescriptor(const ScopedDescriptor&) = delete;
    ScopedDescriptor& operator=(const ScopedDescriptor&) = delete;
    ~ScopedDescriptor() { reset(); }

    void reset()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
};

// Takes a file's first bytes and their count; gives back its format.
ProgramFormat formatOf(const unsigned char* head, ssize_t size)
{
    if (size >= 4 && head[0] == 0x7f && head[1] == 'E' && head[2] == 'L' && head[3] == 'F')
        return ProgramFormat::elf;

    if (size >= 2 && head[0] == '#' && head[1] == '!')
        return ProgramFormat::script;

    return ProgramFormat::none;
}

// Takes a new close-on-exec descriptor (or -1); gives back one numbered 3 or above for the same file, the
// low one closed, so that placing the child's standard streams cannot overwrite it; -1 on failure.
int aboveStandardStreams(int fd)
{
    if (fd < 0 || fd >= firstOwnDescriptor)
        return fd;

    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, firstOwnDescriptor);
    ::close(fd);
    return moved;
}

// Takes a path and a record to fill; opens the file (not through a link, not blocking on a FIFO), checks
// that it is a regular file in a program format, and adds the execute permission for owner, group and
// others (an unpacked or downloaded file has none). Gives back the format (none on any failure, the
// descriptor then closed); program and info hold the open file and its identity.
ProgramFormat openCheckedProgram(const char* path, ScopedDescriptor& program, struct stat& info)
{
    program.fd =
        aboveStandardStreams(::open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));

    if (program.fd < 0 || ::fstat(program.fd, &info) != 0 || !S_ISREG(info.st_mode))
    {
        program.reset();
        return ProgramFormat::none;
    }

    unsigned char head[4] = {};
    ssize_t got = 0;

    do
        got = ::pread(program.fd, head, sizeof(head), 0);
    while (got < 0 && errno == EINTR);

    const auto format = formatOf(head, got);

    if (format == ProgramFormat::none)
    {
        program.reset();
        errno = ENOEXEC;
        return format;
    }

    // A failure here shows as a start that fails, unless the file was runnable already.
    if ((info.st_mode & 0111) != 0111)
        ::fchmod(program.fd, (info.st_mode & 07777) | 0111);

    return format;
}

// What the child needs, all made before fork: after it only async-signal-safe calls are allowed.
struct ChildPlan
{
    ProgramFormat format;
    int program;
    struct stat checked;
    const char* path;
    char** arguments;
    int input;
    int output;
    int report;
    long openMax;
};

// Takes the plan; in the child: resets the signal mask and SIGPIPE (both survive exec), places standard
// input, output and error, leaves no other descriptor open across exec, and runs the checked file. Never
// returns: on failure it writes the error number (its low byte) to the report pipe and ends with 127.
[[noreturn]] void startChild(const ChildPlan& plan)
{
    sigset_t noSignals;
    sigemptyset(&noSignals);
    sigprocmask(SIG_SETMASK, &noSignals, nullptr);

    struct sigaction byDefault = {};
    byDefault.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &byDefault, nullptr);

    // dup2 gives the copies no close-on-exec flag; every descriptor of ours is 3 or above (made so before).
    if (::dup2(plan.input, STDIN_FILENO) >= 0 && ::dup2(plan.output, STDOUT_FILENO) >= 0 &&
        ::dup2(plan.output, STDERR_FILENO) >= 0)
    {
        // Descriptors the installer holds without close-on-exec would otherwise reach the setup program.
        if (::close_range(firstOwnDescriptor, ~0u, CLOSE_RANGE_CLOEXEC) != 0)
            for (int fd = firstOwnDescriptor; fd < plan.openMax; ++fd)
                ::fcntl(fd, F_SETFD, FD_CLOEXEC);

        if (plan.format == ProgramFormat::elf)
        {
            ::fexecve(plan.program, plan.arguments, environ);
        }
        else
        {
            // The kernel reads a script's "#!" line by path (fexecve would hand the interpreter a
            // /dev/fd path that close-on-exec has closed): run it only while the path still names the
            // checked file.
            struct stat now = {};

            if (::stat(plan.path, &now) == 0 && now.st_dev == plan.checked.st_dev &&
                now.st_ino == plan.checked.st_ino)
                ::execve(plan.path, plan.arguments, environ);
        }
    }

    const char failed = static_cast<char>(errno != 0 ? errno : 1);
    [[maybe_unused]] const auto written = ::write(plan.report, &failed, 1);
    ::_exit(failedStartExitCode);
}

// Takes a child's id, waitpid's options and records to fill; waits (interrupted waits are made again).
// Gives back false when waitpid fails otherwise; ended tells whether the child has ended, status its
// wait status then.
bool waitForChild(pid_t child, int options, int& status, bool& ended)
{
    for (;;)
    {
        const pid_t got = ::waitpid(child, &status, options);

        if (got >= 0)
        {
            ended = got == child;
            return true;
        }

        if (errno != EINTR)
            return false;
    }
}

// Takes the non-blocking read end of the output pipe; reads and discards all that waits in it. Gives back
// false once the output has ended (every writer closed it) or cannot be read.
bool drainOutput(int output)
{
    char chunk[setupOutputReadBytesPosix];

    for (;;)
    {
        const ssize_t got = ::read(output, chunk, sizeof(chunk));

        if (got > 0)
            continue;

        if (got < 0 && errno == EINTR)
            continue;

        return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

// Takes a descriptor pair from pipe2; gives back whether both ends are 3 or above, made so if need be.
bool raisePipe(int (&ends)[2])
{
    ends[0] = aboveStandardStreams(ends[0]);
    ends[1] = aboveStandardStreams(ends[1]);
    return ends[0] >= 0 && ends[1] >= 0;
}
} // namespace

ProgramEnd runProgramToEnd(const juce::String& programPath)
{
    std::string path = programPath.toStdString();
    ScopedDescriptor program;
    struct stat checked = {};
    const auto format = openCheckedProgram(path.c_str(), program, checked);

    if (format == ProgramFormat::none)
        return {ProgramEnd::Kind::notStarted, static_cast<std::uint32_t>(errno)};

    int outputEnds[2] = {-1, -1}, reportEnds[2] = {-1, -1};
    const bool outputMade = ::pipe2(outputEnds, O_CLOEXEC) == 0 && raisePipe(outputEnds) &&
                            ::fcntl(outputEnds[0], F_SETFL, O_NONBLOCK) == 0;
    ScopedDescriptor outputRead(outputEnds[0]), outputWrite(outputEnds[1]);
    const bool reportMade = ::pipe2(reportEnds, O_CLOEXEC) == 0 && raisePipe(reportEnds);
    ScopedDescriptor reportRead(reportEnds[0]), reportWrite(reportEnds[1]);
    ScopedDescriptor input(aboveStandardStreams(::open("/dev/null", O_RDONLY | O_CLOEXEC)));

    if (!outputMade || !reportMade || input.fd < 0)
        return {};

    char* arguments[] = {path.data(), nullptr};
    const ChildPlan plan{
        format,         program.fd,     checked,
        path.c_str(),   arguments,      input.fd,
        outputWrite.fd, reportWrite.fd, std::min(::sysconf(_SC_OPEN_MAX), maxDescriptorsMarked)};

    const pid_t child = ::fork();

    if (child < 0)
        return {};

    if (child == 0)
        startChild(plan);

    // Only the child may hold the write ends, or the pipes would never report their end.
    outputWrite.reset();
    reportWrite.reset();
    input.reset();
    program.reset();

    int status = 0;
    bool ended = false;
    char failed = 0;
    ssize_t reported = 0;

    do
        reported = ::read(reportRead.fd, &failed, 1);
    while (reported < 0 && errno == EINTR);

    if (reported == 1)
    {
        waitForChild(child, 0, status, ended);
        return {ProgramEnd::Kind::notStarted, static_cast<unsigned char>(failed)};
    }

    // Drained between slices, or a program that fills the pipe would never end. A slice ends early when
    // output waits. Once the child has ended, what is left in the pipe is dropped with it: a program it
    // left running may hold the pipe open for ever.
    bool outputOpen = true;

    while (!ended)
    {
        if (outputOpen)
        {
            pollfd waiting = {outputRead.fd, POLLIN, 0};
            ::poll(&waiting, 1, setupProgramWaitSliceMs);
            outputOpen = drainOutput(outputRead.fd);
        }

        if (!waitForChild(child, outputOpen ? WNOHANG : 0, status, ended))
            return {ProgramEnd::Kind::endUnknown, 0};
    }

    if (WIFEXITED(status))
        return {ProgramEnd::Kind::exited, static_cast<std::uint32_t>(WEXITSTATUS(status))};

    if (WIFSIGNALED(status))
        return {ProgramEnd::Kind::killedBySignal, static_cast<std::uint32_t>(WTERMSIG(status))};

    return {ProgramEnd::Kind::endUnknown, 0};
}
