# tavrin_add_image(<target> <sources...>): a 32-bit kernel-mode image (<target>.sys) linked the
# way the platform's loader expects a WDM driver: native subsystem, version 5.0 (Windows 2000) in
# the subsystem and OS fields, relocatable, no export table, imports from ntoskrnl.exe and
# HAL.dll only, entry point GsDriverEntry (stdcall, two arguments) in the discardable section
# INIT, header checksum set.
#
# With clang the image is linked by lld with a PDB beside it (<target>.pdb, named in the image's
# debug directory by file name only); with GCC by GNU ld, without one.

# libgcc supplies the 64-bit arithmetic helpers; it may in turn need memcpy/memset from ntoskrnl.
execute_process(COMMAND ${TAVRIN_MINGW_PREFIX}-gcc -print-libgcc-file-name
                OUTPUT_VARIABLE TAVRIN_LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE)

# Debian's own interpreter: python3-pefile is installed for it, whatever python3 is first on PATH.
find_program(TAVRIN_DEBIAN_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(NOT TAVRIN_DEBIAN_PYTHON)
  find_program(TAVRIN_DEBIAN_PYTHON python3 REQUIRED)
endif()

function(tavrin_add_image target)
  add_executable(${target} ${ARGN})
  set_target_properties(${target} PROPERTIES SUFFIX ".sys")
  # C++ only: the resource compiler of a version resource takes none of these.
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:
    -O2
    -Wall -Wextra -Wno-unused-parameter
    -fno-exceptions -fno-rtti -ffreestanding
    -fno-asynchronous-unwind-tables -fno-threadsafe-statics
    -fstack-protector-strong
    # Kernel code must not touch the FPU or SSE state it does not own.
    -mgeneral-regs-only>)
  # Linked as an executable image, not with -shared: a DLL link gives the image an export
  # directory, and a driver has none. The loader relocates drivers freely, so the base
  # relocations must be kept.
  target_link_options(${target} PRIVATE
    -nostdlib
    -Wl,--subsystem,native:5.00
    -Wl,--major-os-version,5 -Wl,--minor-os-version,0
    -Wl,--dynamicbase
    -Wl,--entry,_GsDriverEntry@8
    -Wl,--image-base,0x10000)
  target_link_libraries(${target} PRIVATE ntoskrnl hal ${TAVRIN_LIBGCC} ntoskrnl)

  set(image $<TARGET_FILE:${target}>)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-gcodeview -g
      # The DDK headers change the packing inside their own files on purpose.
      -Wno-pragma-pack>)
    target_link_options(${target} PRIVATE
      -fuse-ld=lld
      -Wl,--pdb=$<TARGET_FILE_DIR:${target}>/${target}.pdb
      -Wl,--strip-all
      # -Xlinker keeps the commas of these lld-link options together.
      "SHELL:-Xlinker -Xlink=-driver:wdm"
      "SHELL:-Xlinker -Xlink=-section:INIT,ERD"
      "SHELL:-Xlinker -Xlink=-pdbaltpath:%_PDB%")
    # clang writes DWARF call-frame data beside CodeView; the PDB is the image's debug
    # information, so the section goes.
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_OBJCOPY} --remove-section=.debug_frame ${image}
      VERBATIM)
  else()
    target_link_options(${target} PRIVATE -Wl,--wdmdriver -Wl,--exclude-all-symbols)
    # GNU as cannot mark a PE section discardable; set IMAGE_SCN_MEM_DISCARDABLE on INIT here.
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_OBJCOPY} --set-section-flags INIT=alloc,load,readonly,code,contents,debug
              ${image}
      VERBATIM)
  endif()
  # Last: the header checksum over the final bytes.
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${TAVRIN_DEBIAN_PYTHON} ${PROJECT_SOURCE_DIR}/tools/imagestamp checksum ${image}
    VERBATIM)
endfunction()
