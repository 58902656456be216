#include "app/RunSequence.h"

#include "app/CompanionProcesses.h"
#include "app/Elevation.h"
#include "app/InstallerExitCode.h"
#include "devices/SupportedModels.h"
#include "devices/UsbScan.h"
#include "retrieval/DriverDownload.h"

#include <juce_gui_basics/juce_gui_basics.h>

namespace
{
// Takes the present devices in scan order; gives back the model slot of each one that has a slot, in the
// same order, repeats kept. Writes the "hex: " line of every product id without a slot.
juce::Array<int> modelSlotsOf(const std::vector<UsbDeviceId>& presentDevices)
{
    juce::Array<int> slots;
    for (const auto& device : presentDevices)
    {
        const int slot = modelSlotForProductId(device.productId);
        if (slot >= 0)
            slots.add(slot);
    }
    return slots;
}
} // namespace

int runInstaller()
{
    terminateCompanionProcesses();

    if (!isProcessElevated())
        return notElevated;

    const juce::ScopedJuceInitialiser_GUI framework;
    juce::MessageManager::getInstance();

    const juce::Array<int> slots = modelSlotsOf(findPresentSupportedDevices());
    if (slots.isEmpty())
        return noSupportedDevice;

    // One run installs the driver of exactly one model: the first one found.
    return downloadAndInstallDriver(slots.getFirst());
}
