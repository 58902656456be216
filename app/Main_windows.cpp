#include "app/OwnEnvironment.h"
#include "app/RunSequence.h"

#include <windows.h>

// The GUI-subsystem entry point. None of its arguments is read: the installer takes no options.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    useOwnEnvironment(STRELL_KEPT_ENVIRONMENT);
    return runInstaller();
}
