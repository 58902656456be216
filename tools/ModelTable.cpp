// model-table: prints the supported-model table for the people who write the driver catalogue, one line
// per model in table order, fields separated by tabs: model slot, vendor id, product id (both as the
// catalogue writes them, "0x" and four lower-case hexadecimal digits), key name, display name.

#include "devices/SupportedModels.h"

#include <cstdio>

// Takes no arguments; prints the table to standard output; gives back 0, or 1 when it cannot be written.
int main()
{
    for (const SupportedModel& model : supportedModels())
        std::printf("%d\t0x%04x\t0x%04x\t%s\t%s\n", modelSlotForProductId(model.productId),
                    static_cast<unsigned>(model.vendorId), static_cast<unsigned>(model.productId),
                    model.keyName, model.displayName);
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}
