#pragma once
// The host's clock lives with the devices that time commands by it; agents include it from here.
#include "tavik/Clock.h"
