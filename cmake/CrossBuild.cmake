# What a cross build for Windows needs beyond the toolchain file:
#  - every program linked statically (libstdc++, libgcc, winpthread), so an
#    .exe runs with no DLL beside it, and stripped in release builds;
#  - Wine run through a wrapper that keeps one prefix per build directory;
#  - host programs (code generators) built with the build machine's own
#    compiler: tarnup_host_executable();
#  - GoogleTest built from the Debian sources, since no mingw build of it is
#    packaged.

# tarnup_host_executable(<name> <source>): a program run during the build.
# Natively it is an ordinary target; in a cross build it is compiled for the
# build machine with TARNUP_HOST_CXX. Either way the variable <name>_COMMAND
# holds what to run and <name>_DEPENDS what a custom command depends on.
function(tarnup_host_executable name source)
  if(NOT CMAKE_CROSSCOMPILING)
    add_executable(${name} ${source})
    tarnup_warnings(${name})
    set(${name}_COMMAND ${name} PARENT_SCOPE)
    set(${name}_DEPENDS ${name} PARENT_SCOPE)
    return()
  endif()
  get_filename_component(abs ${source} ABSOLUTE)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${name}-host)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${TARNUP_HOST_CXX} -std=c++20 -O2 -Wall -Wextra -Werror -o ${out} ${abs}
    DEPENDS ${abs}
    COMMENT "Building the host program ${name}"
    VERBATIM)
  add_custom_target(${name} DEPENDS ${out})
  set(${name}_COMMAND ${out} PARENT_SCOPE)
  set(${name}_DEPENDS ${name} ${out} PARENT_SCOPE)
endfunction()

if(NOT WIN32)
  return()
endif()

add_link_options(-static $<$<CONFIG:Release,MinSizeRel>:-s>)

if(CMAKE_CROSSCOMPILING)
  set(TARNUP_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH
      "Wine prefix used to run this build's programs")
  configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                  GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)

  find_program(TARNUP_HOST_CXX NAMES c++ g++ clang++ REQUIRED
               DOC "The build machine's C++ compiler, for host programs")
endif()
