#include "devices/UsbInstanceIds_posix.h"
#include "devices/UsbScan.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{
void writeFile(const fs::path& file, const std::string& text)
{
    std::ofstream(file) << text;
}

// Makes one device entry with the given attribute files (an empty text leaves the file out).
void addEntry(const fs::path& folder, const std::string& vendor, const std::string& product,
              const char* serial = nullptr)
{
    fs::create_directories(folder);
    if (!vendor.empty())
        writeFile(folder / "idVendor", vendor);
    if (!product.empty())
        writeFile(folder / "idProduct", product);
    if (serial != nullptr)
        writeFile(folder / "serial", serial);
}

// A fake devices folder in a fresh temporary folder, shaped like sysfs: devices, interfaces, a hub, a
// symbolic link to a device elsewhere, and entries without ids or with malformed ones.
struct FakeDevicesTree
{
    fs::path base;
    fs::path devices;

    FakeDevicesTree()
    {
        char pattern[] = "/tmp/strell-sysfs-XXXXXX";
        base = mkdtemp(pattern);
        devices = base / "devices";
        addEntry(devices / "usb1", "1d6b\n", "0002\n", "0000:00:14.0\n");
        addEntry(devices / "1-1", "2e7a\n", "0a5e\n", "AB12CD\n");
        addEntry(devices / "1-1:1.0", "", "");
        addEntry(devices / "1-2", "2E7A\n", "c7de\n");
        addEntry(devices / "1-3", "046d\n", "", "X\n");
        addEntry(devices / "1-4", "2e7a\n", "c\n", "\n");
        addEntry(devices / "1-5", "zz7a\n", "0a5e\n");
        addEntry(devices / "1-6", "2e7a\n", "10a5e\n");
        addEntry(devices / "1-7", "\n", "0a5e\n");
        addEntry(base / "elsewhere" / "2-1", "2e7a\n", "003c\n", "SN 77\n");
        fs::create_directory_symlink(base / "elsewhere" / "2-1", devices / "2-1");
        fs::create_directory_symlink(base / "missing", devices / "2-2");
        writeFile(devices / "uevent", "not a device\n");
    }
    ~FakeDevicesTree()
    {
        std::error_code ignored;
        fs::remove_all(base, ignored);
    }

    static std::vector<std::string> expectedIds()
    {
        return {"USB\\VID_2E7A&PID_0A5E\\AB12CD", "USB\\VID_2E7A&PID_C7DE\\1-2",
                "USB\\VID_2E7A&PID_000C\\1-4", "USB\\VID_2E7A&PID_003C\\SN 77",
                "USB\\VID_1D6B&PID_0002\\0000:00:14.0"};
    }
};
} // namespace

TEST(SysfsUsbInstanceIds, ReadsDeviceEntriesInNameOrder)
{
    const FakeDevicesTree tree;
    EXPECT_EQ(readSysfsUsbInstanceIds(tree.devices.string()), FakeDevicesTree::expectedIds());
}

TEST(SysfsUsbInstanceIds, MissingOrEmptyFolderGivesNothing)
{
    const FakeDevicesTree tree;
    EXPECT_TRUE(readSysfsUsbInstanceIds((tree.base / "absent").string()).empty());
    EXPECT_TRUE(readSysfsUsbInstanceIds((tree.devices / "uevent").string()).empty());
    fs::create_directory(tree.base / "empty");
    EXPECT_TRUE(readSysfsUsbInstanceIds((tree.base / "empty").string()).empty());
}

TEST(SysfsUsbInstanceIds, ScanFindsTheDevicesOfTheTree)
{
    const FakeDevicesTree tree;
    const std::vector<UsbDeviceId> candidates{{0x2E7A, 0x003C}, {0x2E7A, 0x000C}, {0x2E7A, 0x0A5E}};
    EXPECT_EQ(matchInstanceIds(candidates, readSysfsUsbInstanceIds(tree.devices.string())),
              (std::vector<UsbDeviceId>{{0x2E7A, 0x0A5E}, {0x2E7A, 0x000C}, {0x2E7A, 0x003C}}));
}

// The platform layer itself, reading the system's devices folder: a child process gets a mount namespace of
// its own in which the fake tree stands at that folder, as the whole-run tests arrange it.
TEST(SysfsUsbInstanceIds, PlatformLayerReadsTheSystemDevicesFolder)
{
    const FakeDevicesTree tree;
    const fs::path visitedFile = tree.base / "visited.txt";

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        if (unshare(CLONE_NEWNS) != 0)
            _exit(77);
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("none", "/sys/bus", "tmpfs", 0, nullptr) != 0)
            _exit(78);
        std::error_code error;
        fs::create_directories(sysfsUsbDevicesFolder, error);
        if (error || mount(tree.devices.c_str(), sysfsUsbDevicesFolder, nullptr, MS_BIND, nullptr) != 0)
            _exit(79);

        std::ofstream visited(visitedFile);
        forEachPresentUsbInstanceId([&](const std::string& instanceId) { visited << instanceId << '\n'; });
        visited.close();
        _exit(visited ? 0 : 80);
    }

    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77 || WEXITSTATUS(status) == 78)
        GTEST_SKIP() << "this user may not mount in a private mount namespace";
    ASSERT_EQ(WEXITSTATUS(status), 0);

    std::vector<std::string> visited;
    std::ifstream lines(visitedFile);
    for (std::string line; std::getline(lines, line);)
        visited.push_back(line);
    EXPECT_EQ(visited, FakeDevicesTree::expectedIds());
}
