#include "devices/UsbInstanceIds_posix.h"

#include "devices/UsbInstanceIds.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace
{
// Takes a file path; gives back its first line without trailing white space, or false when it cannot be
// read.
bool readFirstLine(const fs::path& file, std::string& line)
{
    std::ifstream stream(file);
    if (!stream)
        return false;
    line.clear();
    std::getline(stream, line);
    if (stream.bad())
        return false;
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r'))
        line.pop_back();
    return true;
}

// Takes the path of an idVendor or idProduct file; gives back its id, or -1 when the file is missing or
// does not hold one to four hexadecimal digits.
int readUsbId(const fs::path& file)
{
    std::string text;
    if (!readFirstLine(file, text) || text.empty() || text.size() > 4)
        return -1;
    int id = 0;
    for (const char c : text)
    {
        int digit = -1;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        if (digit < 0)
            return -1;
        id = id * 16 + digit;
    }
    return id;
}
} // namespace

std::vector<std::string> readSysfsUsbInstanceIds(const std::string& devicesFolder)
{
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator entry(devicesFolder, error), end; !error && entry != end;
         entry.increment(error))
    {
        std::error_code typeError;
        // is_directory follows the symbolic links that sysfs uses; a dangling one is not a folder.
        if (fs::is_directory(entry->path(), typeError))
            names.push_back(entry->path().filename().string());
    }
    std::sort(names.begin(), names.end());

    std::vector<std::string> instanceIds;
    for (const std::string& name : names)
    {
        const fs::path device = fs::path(devicesFolder) / name;
        const int vendorId = readUsbId(device / "idVendor");
        const int productId = readUsbId(device / "idProduct");
        if (vendorId < 0 || productId < 0)
            continue;

        std::string suffix;
        if (!readFirstLine(device / "serial", suffix) || suffix.empty())
            suffix = name;

        char prefix[32];
        std::snprintf(prefix, sizeof prefix, "USB\\VID_%04X&PID_%04X\\", static_cast<unsigned>(vendorId),
                      static_cast<unsigned>(productId));
        instanceIds.push_back(prefix + suffix);
    }
    return instanceIds;
}

void forEachPresentUsbInstanceId(const std::function<void(const std::string& instanceId)>& visit)
{
    for (const std::string& instanceId : readSysfsUsbInstanceIds(sysfsUsbDevicesFolder))
        visit(instanceId);
}
