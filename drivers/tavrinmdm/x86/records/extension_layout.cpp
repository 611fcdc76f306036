// Built by both 32-bit builds (not linked into the image): see extension_layout.h.
#include "tavrinmdm/x86/records/extension_layout.h"

#include <stddef.h>

#define TAVRIN_OFFSET(field) (ULONG) offsetof(DEVICE_EXTENSION, field),
extern "C" __attribute__((section(".tvlayout"))) const ULONG
    TavrinExtensionLayout[kTavrinExtensionLayoutCount] = {
        (ULONG)sizeof(DEVICE_EXTENSION), TAVRIN_EXTENSION_FIELDS(TAVRIN_OFFSET)};
