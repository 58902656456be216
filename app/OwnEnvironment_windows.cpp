#include "app/OwnEnvironment.h"

void useOwnEnvironment(const char*) {}
