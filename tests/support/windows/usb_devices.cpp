// strell-usb-devices: lists the present devices of the USB setup class as SetupAPI enumerates them, so that
// tests can see what the installer's scan will see, in the same order.
//
//   strell-usb-devices
//
// Prints one device instance id per line, in enumeration order. Exits 0, or 1 when the set cannot be had.
#include <windows.h>

#include <setupapi.h>

#include <cstdio>

namespace
{
// GUID_DEVCLASS_USB, the USB setup class.
constexpr GUID usbClass = {0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
constexpr DWORD longestIndex = 100000;
} // namespace

// Takes nothing; prints the instance ids; returns 0 or 1.
int main()
{
    HDEVINFO set = SetupDiGetClassDevsA(&usbClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_PROFILE);
    if (set == INVALID_HANDLE_VALUE)
    {
        std::fprintf(stderr, "strell-usb-devices: SetupDiGetClassDevsA failed: error %lu\n", GetLastError());
        return 1;
    }
    for (DWORD index = 0; index < longestIndex; ++index)
    {
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        if (!SetupDiEnumDeviceInfo(set, index, &device))
        {
            if (GetLastError() == ERROR_NO_MORE_ITEMS)
                break;
            continue;
        }
        char id[4000];
        if (SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof id, nullptr))
            std::printf("%s\n", id);
    }
    SetupDiDestroyDeviceInfoList(set);
    return 0;
}
