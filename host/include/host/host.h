// Everything a test or tool needs from the host kernel.
#pragma once

#include "host/app.h"
#include "host/debug.h"
#include "host/objects.h"
#include "host/pnp.h"
#include "host/registry.h"
#include "host/schedule.h"
#include "host/session.h"
#include "host/verifier.h"
