# Cross toolchain for the x86 driver image: MinGW-w64 targeting 32-bit Windows.
# Debian: g++-mingw-w64-i686, mingw-w64-i686-dev, binutils-mingw-w64-i686 (./run setup installs them).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(TAVRIN_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${TAVRIN_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${TAVRIN_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${TAVRIN_MINGW_PREFIX}-windres)
set(CMAKE_OBJCOPY ${TAVRIN_MINGW_PREFIX}-objcopy CACHE FILEPATH "objcopy of the cross toolchain")
set(CMAKE_OBJDUMP ${TAVRIN_MINGW_PREFIX}-objdump CACHE FILEPATH "objdump of the cross toolchain")

set(CMAKE_FIND_ROOT_PATH /usr/${TAVRIN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The image links against ntoskrnl and hal only; the compiler checks must not need a user-mode
# C runtime to succeed.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# The platform's DDK headers (ntddk.h, wdm.h) live below the target's include directory.
set(TAVRIN_DDK_INCLUDE /usr/${TAVRIN_MINGW_PREFIX}/include/ddk)
