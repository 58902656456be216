#include "app/OwnEnvironment.h"

#include "install/ProtectedFolder.h"

#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

extern char** environ;

namespace
{
// Takes nothing; gives back the running user's home folder from the user database, or "/".
std::string homeOfRunningUser()
{
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && found->pw_dir[0] == '/')
        return found->pw_dir;
    return "/";
}
} // namespace

void useOwnEnvironment(const char* keptPrefix)
{
    std::vector<std::pair<std::string, std::string>> own{
        {"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"},
        {"LANG", "C.UTF-8"},
        {"HOME", homeOfRunningUser()},
    };
    if (const juce::File temporary = trustedTemporaryFolder(); temporary != juce::File())
        own.emplace_back("TMPDIR", temporary.getFullPathName().toStdString());
    if (const char* display = std::getenv("DISPLAY"); display != nullptr)
        own.emplace_back("DISPLAY", display);
    if (const char* authority = std::getenv("XAUTHORITY");
        authority != nullptr && isTrustedFile(juce::File(juce::String::fromUTF8(authority))))
        own.emplace_back("XAUTHORITY", authority);

    const std::size_t prefixLength = std::strlen(keptPrefix);
    for (char** entry = environ; prefixLength > 0 && entry != nullptr && *entry != nullptr; ++entry)
        if (const char* equals = std::strchr(*entry, '=');
            equals != nullptr && std::strncmp(*entry, keptPrefix, prefixLength) == 0)
            own.emplace_back(std::string(*entry, (std::size_t)(equals - *entry)), equals + 1);

    ::clearenv();
    for (const auto& [name, value] : own)
        ::setenv(name.c_str(), value.c_str(), 1);
}
