#include "devices/UsbInstanceIds.h"

#include "base/Limits.h"

// The narrow-text SetupAPI entry points are named explicitly; UNICODE stays off so the structures and
// macros that windows.h and setupapi.h pick match them.
#undef UNICODE
#undef _UNICODE
#include <windows.h>

#include <setupapi.h>

#include <cstring>

namespace
{
// GUID_DEVCLASS_USB: the setup class of USB host controllers, hubs and composite devices.
const GUID usbSetupClass = {0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

// A valid set fails SetupDiEnumDeviceInfo only past its end (ERROR_NO_MORE_ITEMS). Other failures are
// skipped one by one, but maxConsecutiveEnumFailures of them in a row means no further element will come.
} // namespace

void forEachPresentUsbInstanceId(const std::function<void(const std::string& instanceId)>& visit)
{
    const HDEVINFO set =
        SetupDiGetClassDevsA(&usbSetupClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_PROFILE);
    if (set == INVALID_HANDLE_VALUE || set == nullptr)
        return;

    char instanceIdBuffer[instanceIdBufferSize];
    int consecutiveFailures = 0;
    for (DWORD index = 0; consecutiveFailures < maxConsecutiveEnumFailures; ++index)
    {
        SP_DEVINFO_DATA element;
        std::memset(&element, 0, sizeof element);
        element.cbSize = sizeof element;
        if (!SetupDiEnumDeviceInfo(set, index, &element))
        {
            if (GetLastError() == ERROR_NO_MORE_ITEMS)
                break;
            ++consecutiveFailures;
            visit(std::string());
            continue;
        }
        consecutiveFailures = 0;

        // The buffer is reused: clearing its first byte keeps a call that writes nothing from handing on
        // the previous element's id.
        instanceIdBuffer[0] = 0;
        DWORD required = 0;
        SetupDiGetDeviceInstanceIdA(set, &element, instanceIdBuffer, instanceIdBufferSize, &required);
        if (required > 0 && required < instanceIdBufferSize)
            visit(std::string(instanceIdBuffer, strnlen(instanceIdBuffer, required - 1)));
        else
            visit(std::string());
    }

    SetupDiDestroyDeviceInfoList(set);
}
