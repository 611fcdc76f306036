// The host kernel's declarations of the platform's kernel interface: everything a driver built for
// the host can name. The driver reaches this only through its own platform.h.
//
// Only names the platform's published headers also provide are declared here, so that code which
// compiles against these declarations compiles against the platform's headers too.
#pragma once

#include "base.h"
#include "ke.h"
#include "ex.h"
#include "po.h"
#include "io.h"
#include "rtl.h"
#include "usb.h"
#include "ntddser.h"
