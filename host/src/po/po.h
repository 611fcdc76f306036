// What the power manager's own files share (po/).
#pragma once

#include "internal/io.h"

namespace host::internal {

// PoStartNextPowerIrp checked per driver and stack location (po/start_next.cpp).
// PoCallDriver from DISPATCH_LEVEL to a power-pageable device, at the driver's call (the worker
// that passes the request on later runs no driver routine): checks the driver passing it on.
void PopCheckPowerPasser(PIRP irp);
// PoStartNextPowerIrp by `caller` (NULL: unknown) at the request's current location.
void PopStartNext(PIRP irp, PDRIVER_OBJECT caller);
void PopStartNextSessionStart();

}  // namespace host::internal
