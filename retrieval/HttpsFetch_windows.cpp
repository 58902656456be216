#include "retrieval/HttpsFetch.h"

#include <windows.h>

// The framework's WinINet reader ignores InternetReadFile's result, so a broken transfer reads as the end
// of the body; the call's last error, which nothing after it overwrites, tells the two apart.
int readResponseBody(juce::WebInputStream& stream, void* buffer, int bytesToRead, bool& failed)
{
    SetLastError(ERROR_SUCCESS);
    const int bytesRead = stream.read(buffer, bytesToRead);
    const DWORD error = GetLastError();
    failed = stream.isError() || (bytesRead < bytesToRead && error != ERROR_SUCCESS);
    return bytesRead;
}
