#pragma once

#include <functional>
#include <string>

// The USB seam. Platform layer: UsbInstanceIds_windows.cpp (SetupAPI: present elements of the USB setup
// class in the current hardware profile), UsbInstanceIds_posix.cpp (Linux's sysfs, sorted by entry name),
// or a test fake. Calls visit with the instance id of every present USB device element, in enumeration
// order; an element whose id cannot be read (or does not fit) gives an empty text, and nothing is visited
// when the list cannot be opened. Writes nothing.
void forEachPresentUsbInstanceId(const std::function<void(const std::string& instanceId)>& visit);
