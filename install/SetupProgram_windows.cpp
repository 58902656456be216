#include "install/SetupProgram.h"

// Takes a program file; does nothing, as Windows runs any file with a program's format by its path.
void makeRunnable(const juce::File&) {}
