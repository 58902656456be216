#include "tests/fakes/FakeUsbInstanceIds.h"

#include "devices/UsbInstanceIds.h"

std::vector<std::string> fakeUsbInstanceIds;
int fakeUsbScanCount = 0;

void forEachPresentUsbInstanceId(const std::function<void(const std::string& instanceId)>& visit)
{
    ++fakeUsbScanCount;
    for (const std::string& instanceId : fakeUsbInstanceIds)
        visit(instanceId);
}
