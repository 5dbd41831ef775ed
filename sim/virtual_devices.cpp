// The virtual-time devices: camera models behind the platform interfaces.
#include "sim/virtual_devices.h"
