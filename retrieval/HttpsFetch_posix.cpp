#include "retrieval/HttpsFetch.h"

// curl records how the transfer ended: a reset or a TLS session cut without its close is an error.
int readResponseBody(juce::WebInputStream& stream, void* buffer, int bytesToRead, bool& failed)
{
    const int bytesRead = stream.read(buffer, bytesToRead);
    failed = stream.isError();
    return bytesRead;
}
