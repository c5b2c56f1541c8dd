# How the shipped binaries are linked. Every command starts a process that loads the platform and
# the module, so what the dynamic loader does before main is paid by every command: fewer exported
# names, calls inside a library bound when it is linked, and relative relocations packed.
include(CheckLinkerFlag)
check_linker_flag(CXX "-Wl,-z,pack-relative-relocs" QZ_HAVE_PACKED_RELOCS)

# qz_link_lightly(target): an optimised symbol hash, only the libraries it calls into as needed, and
# the relative relocations packed where the linker and the C library can.
function(qz_link_lightly target)
  target_link_options(${target} PRIVATE -Wl,-O1 -Wl,--hash-style=gnu -Wl,--as-needed)
  if(QZ_HAVE_PACKED_RELOCS)
    target_link_options(${target} PRIVATE -Wl,-z,pack-relative-relocs)
  endif()
endfunction()
