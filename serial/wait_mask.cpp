// Placeholder wait-on-mask until it is written: no wait request is ever pending.

#include "serial/serial.h"

BOOLEAN CompleteWaitIrp(PDEVICE_EXTENSION DeviceExtension, ULONG Events) { return FALSE; }
