#pragma once

#include <string>
#include <vector>

// Link-time stand-in for the platform's USB enumeration (link FakeUsbInstanceIds.cpp instead of
// strell_devices_os): forEachPresentUsbInstanceId visits these ids, in this order.
extern std::vector<std::string> fakeUsbInstanceIds;

// How many times forEachPresentUsbInstanceId has been called.
extern int fakeUsbScanCount;
