#pragma once

// Small helpers that test sources of several folders share; header only, so no test target links more.

#include "devices/UsbScan.h"

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

// Collects what is written to std::clog during the scope.
struct ClogCapture
{
    ClogCapture() : original(std::clog.rdbuf(captured.rdbuf())) {}
    ~ClogCapture() { std::clog.rdbuf(original); }
    ClogCapture(const ClogCapture&) = delete;
    ClogCapture& operator=(const ClogCapture&) = delete;

    std::string text() const { return captured.str(); }

    std::ostringstream captured;
    std::streambuf* original;
};

// Takes a device and what follows its ids; gives back the instance id Windows gives it, written out
// independently of usbMatchPattern so that tests check that function rather than repeat it.
inline std::string instanceIdOf(const UsbDeviceId& id, const std::string& rest)
{
    char text[32];
    std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X", static_cast<unsigned>(id.vendorId),
                  static_cast<unsigned>(id.productId));
    return text + rest;
}
