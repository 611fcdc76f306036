// The application-side serial API: everything an application of the COM port needs.
#pragma once

#include "comm/port.h"
#include "comm/serial.h"
#include "comm/status.h"
#include "comm/types.h"
