// What the modem's parent bus driver (tavrinbus) and the port driver (tavrinmdm) agree on about
// the modem's physical device object. The parent selects the USB configuration; the port driver
// above its PDO sends URBs with the pipe handles the parent publishes in the PDO's device
// extension, as 32-bit words at fixed byte offsets, from the PDO's start until its stop or
// removal (0 outside that time). The port driver trusts those words only on a PDO whose
// enumerator is the parent's (IoGetDeviceProperty, DevicePropertyEnumeratorName).
//
// Both drivers and the simulated parent of the device side include this header; it needs nothing
// of the platform.
#pragma once

#include <stddef.h>

// Byte offsets of the pipe handle words in the PDO's device extension.
#define TAVRIN_PARENT_BULK_IN_PIPE_OFFSET 12
#define TAVRIN_PARENT_BULK_OUT_PIPE_OFFSET 16
#define TAVRIN_PARENT_INTERRUPT_PIPE_OFFSET 20

// The enumerator name of the parent's PDOs (the first component of their device IDs).
#define TAVRIN_PARENT_ENUMERATOR L"TAVRIN"

// The head of the PDO's device extension: the words before the handles are the parent's own.
typedef struct _TAVRIN_PARENT_PDO_HEAD {
  unsigned int Private[3];
  unsigned int BulkInPipe;     // 12
  unsigned int BulkOutPipe;    // 16
  unsigned int InterruptPipe;  // 20
} TAVRIN_PARENT_PDO_HEAD;

static_assert(sizeof(unsigned int) == 4, "the handle words are 32 bits");
static_assert(offsetof(TAVRIN_PARENT_PDO_HEAD, BulkInPipe) == TAVRIN_PARENT_BULK_IN_PIPE_OFFSET,
              "bulk-IN word");
static_assert(offsetof(TAVRIN_PARENT_PDO_HEAD, BulkOutPipe) == TAVRIN_PARENT_BULK_OUT_PIPE_OFFSET,
              "bulk-OUT word");
static_assert(offsetof(TAVRIN_PARENT_PDO_HEAD, InterruptPipe) ==
                  TAVRIN_PARENT_INTERRUPT_PIPE_OFFSET,
              "interrupt-IN word");
