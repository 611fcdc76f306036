// The driver's entry and unload routines.
#pragma once

#include "tavrinmdm/platform.h"

// Called once per load at PASSIVE_LEVEL (on x86 by the start-up stub of x86/start.cpp).
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// Called at PASSIVE_LEVEL after the last device object has been deleted.
VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject);
