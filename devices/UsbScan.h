#pragma once

#include <functional>
#include <string>
#include <vector>

// One USB device identity; each field holds a 16-bit USB id.
struct UsbDeviceId
{
    int vendorId;
    int productId;

    bool operator==(const UsbDeviceId& other) const
    {
        return vendorId == other.vendorId && productId == other.productId;
    }
};

// Takes a candidate; gives back "USB\VID_xxxx&PID_yyyy", at least four hexadecimal digits each, upper case.
std::string usbMatchPattern(const UsbDeviceId& candidate);

// Takes the candidates, one instance-id text and the result so far; appends a copy of every candidate
// whose pattern stands in the id (plain substring, exact characters), in candidate order.
void appendMatchingCandidates(const std::vector<UsbDeviceId>& candidates, const std::string& instanceId,
                              std::vector<UsbDeviceId>& found);

// Takes the candidates and the instance-id texts in enumeration order; gives back every candidate
// whose pattern stands in an id (exact characters), ordered by id first and candidate second,
// duplicates kept. Writes nothing.
std::vector<UsbDeviceId> matchInstanceIds(const std::vector<UsbDeviceId>& candidates,
                                          const std::vector<std::string>& instanceIds);

// Platform layer (UsbInstanceIds_windows.cpp: SetupAPI, USB class, present devices;
// UsbInstanceIds_posix.cpp: sysfs; or a test fake). Calls visit with the instance id of every present
// USB device element, in enumeration order; an element whose id cannot be read gives an empty text.
void forEachPresentUsbInstanceId(const std::function<void(const std::string& instanceId)>& visit);

// Takes the candidates; gives back the present ones (see matchInstanceIds) from the platform's devices.
std::vector<UsbDeviceId> scanPresentUsbDevices(const std::vector<UsbDeviceId>& candidates);

// Takes nothing; builds one candidate per supported model, in table order, and gives back the present ones.
std::vector<UsbDeviceId> findPresentSupportedDevices();
