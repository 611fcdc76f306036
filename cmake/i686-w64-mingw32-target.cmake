# What both x86 toolchain files share: the target, where its headers and libraries live, and how
# the compiler checks run. Included by i686-w64-mingw32.cmake (GCC) and
# i686-w64-mingw32-clang.cmake (clang), which name the compilers.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(TAVRIN_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_RC_COMPILER ${TAVRIN_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TAVRIN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The image links against ntoskrnl and hal only; the compiler checks must not need a user-mode
# C runtime to succeed.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# The platform's DDK headers (ntddk.h, wdm.h) live below the target's include directory.
set(TAVRIN_DDK_INCLUDE /usr/${TAVRIN_MINGW_PREFIX}/include/ddk)
