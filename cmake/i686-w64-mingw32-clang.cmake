# Cross toolchain of the shipped x86 driver image: clang and lld targeting 32-bit Windows with the
# MinGW-w64 headers and import libraries, so that the image gets a PDB (CodeView) beside it.
# Debian: clang, lld, llvm, g++-mingw-w64-i686 (for libgcc), mingw-w64-i686-dev,
# binutils-mingw-w64-i686 (windres). ./run setup installs them.
include(${CMAKE_CURRENT_LIST_DIR}/i686-w64-mingw32-target.cmake)

set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET ${TAVRIN_MINGW_PREFIX})
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET ${TAVRIN_MINGW_PREFIX})
set(CMAKE_SYSROOT /usr/${TAVRIN_MINGW_PREFIX})
set(CMAKE_OBJCOPY llvm-objcopy CACHE FILEPATH "objcopy that understands linked PE images")
