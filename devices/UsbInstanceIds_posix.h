#pragma once

#include <string>
#include <vector>

// Where Linux lists its USB devices and interfaces, one entry (a symbolic link, or a folder) each.
inline constexpr const char* sysfsUsbDevicesFolder = "/sys/bus/usb/devices";

// Takes a folder laid out like sysfsUsbDevicesFolder; gives back, sorted by entry name, the instance id
// "USB\VID_xxxx&PID_yyyy\<suffix>" (upper-case hexadecimal) of every entry whose idVendor and idProduct
// files hold a hexadecimal id of one to four digits. The suffix is the entry's serial file text when it has
// a non-empty one, else the entry name. Interfaces, hubs without ids, unreadable or malformed entries and a
// missing folder give nothing. Writes nothing.
std::vector<std::string> readSysfsUsbInstanceIds(const std::string& devicesFolder);
