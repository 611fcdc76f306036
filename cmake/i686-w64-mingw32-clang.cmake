# Cross toolchain of the shipped x86 driver image: clang and lld targeting 32-bit Windows with the
# MinGW-w64 headers and import libraries, so that the image gets a PDB (CodeView) beside it.
# Debian: clang, lld, llvm, g++-mingw-w64-i686 (for libgcc and the sysroot), mingw-w64-i686-dev,
# binutils-mingw-w64-i686 (windres). ./run setup installs them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(TAVRIN_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET ${TAVRIN_MINGW_PREFIX})
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET ${TAVRIN_MINGW_PREFIX})
set(CMAKE_RC_COMPILER ${TAVRIN_MINGW_PREFIX}-windres)
set(CMAKE_OBJCOPY llvm-objcopy CACHE FILEPATH "objcopy that understands linked PE images")

set(CMAKE_SYSROOT /usr/${TAVRIN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH /usr/${TAVRIN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The image links against ntoskrnl and hal only; the compiler checks must not need a user-mode
# C runtime to succeed.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(TAVRIN_DDK_INCLUDE /usr/${TAVRIN_MINGW_PREFIX}/include/ddk)
