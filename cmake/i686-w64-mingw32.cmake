# Cross toolchain of the GCC build of the x86 driver image: MinGW-w64 GCC and GNU ld targeting
# 32-bit Windows. Debian: g++-mingw-w64-i686, mingw-w64-i686-dev, binutils-mingw-w64-i686
# (./run setup installs them).
include(${CMAKE_CURRENT_LIST_DIR}/i686-w64-mingw32-target.cmake)

set(CMAKE_C_COMPILER ${TAVRIN_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${TAVRIN_MINGW_PREFIX}-g++)
set(CMAKE_OBJCOPY ${TAVRIN_MINGW_PREFIX}-objcopy CACHE FILEPATH "objcopy of the cross toolchain")
set(CMAKE_OBJDUMP ${TAVRIN_MINGW_PREFIX}-objdump CACHE FILEPATH "objdump of the cross toolchain")
