#include "base/NewFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

NewFile& NewFile::operator=(NewFile&& other) noexcept
{
    if (this != &other)
    {
        if (isOpen())
            ::close(static_cast<int>(handle));
        handle = other.handle;
        other.handle = -1;
    }
    return *this;
}

NewFile::~NewFile()
{
    if (isOpen())
        ::close(static_cast<int>(handle));
}

NewFile createNewFile(const juce::File& file)
{
    const int fd = ::open(file.getFullPathName().toRawUTF8(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return {};

    // The umask must neither open the file to others' writes nor hide it from the user's reads.
    if (::fchmod(fd, 0644) != 0)
    {
        ::close(fd);
        ::unlink(file.getFullPathName().toRawUTF8());
        return {};
    }
    return NewFile(fd);
}

bool writeNewFile(NewFile& file, const void* data, std::size_t size)
{
    if (!file.isOpen())
        return false;

    const auto* bytes = static_cast<const char*>(data);
    while (size > 0)
    {
        const ssize_t written = ::write(static_cast<int>(file.handle), bytes, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool closeNewFile(NewFile& file)
{
    if (!file.isOpen())
        return false;
    const int fd = static_cast<int>(file.handle);
    file.handle = -1;
    return ::close(fd) == 0;
}

bool isOwnRegularFile(const juce::File& file)
{
    struct stat status
    {
    };
    return ::lstat(file.getFullPathName().toRawUTF8(), &status) == 0 && S_ISREG(status.st_mode) &&
           status.st_uid == ::geteuid();
}
