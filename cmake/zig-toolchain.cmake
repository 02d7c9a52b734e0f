# Toolchain: zig's clang with its own libc++, targeting an older glibc.
#
# Linux wheels built with it run on every system with glibc 2.28 or newer
# (RHEL/Rocky 8, Ubuntu 20.04, Debian 11 and later: manylinux_2_28), without a
# container: zig ships the headers and symbol lists of each glibc release and
# links libc++, libc++abi and libunwind statically, so a module needs only
# libc, libm, libpthread and libdl. The version script of src/CMakeLists.txt
# keeps the static C++ runtime's symbols local, so it never meets another
# module's libstdc++ or libc++. This build is also the project's clang + libc++
# check: warnings are errors here.
#
# Used by tools/build-wheels and by `cmake --preset zig` (tools/devbuild zig).
# Settings (cache variables or environment variables of the same name):
#   PELORKIT_ZIG         the zig executable; default: `zig` on PATH, else the one
#                        of the `ziglang` package (`pip install ziglang`, or the
#                        dev extra) of the active venv, or of python3 or python
#                        on PATH
#   PELORKIT_ZIG_TARGET  default x86_64-linux-gnu.2.28; aarch64-linux-gnu.2.28
#                        cross-compiles

foreach(setting PELORKIT_ZIG PELORKIT_ZIG_TARGET)
  if(NOT ${setting} AND DEFINED ENV{${setting}})
    set(${setting} "$ENV{${setting}}")
  endif()
endforeach()
if(NOT PELORKIT_ZIG_TARGET)
  set(PELORKIT_ZIG_TARGET x86_64-linux-gnu.2.28)
endif()

if(NOT PELORKIT_ZIG)
  find_program(PELORKIT_ZIG_ON_PATH zig)
  if(PELORKIT_ZIG_ON_PATH)
    set(PELORKIT_ZIG "${PELORKIT_ZIG_ON_PATH}")
  endif()
endif()
if(NOT PELORKIT_ZIG)
  # The active venv first: a CMake started through pyenv's shim sees pyenv's
  # interpreter first on PATH.
  set(pythons python3 python)
  if(DEFINED ENV{VIRTUAL_ENV})
    list(PREPEND pythons "$ENV{VIRTUAL_ENV}/bin/python")
  endif()
  foreach(python IN LISTS pythons)
    execute_process(
      COMMAND ${python} -c "import os, ziglang; print(os.path.dirname(ziglang.__file__))"
      OUTPUT_VARIABLE ziglang_dir OUTPUT_STRIP_TRAILING_WHITESPACE
      RESULT_VARIABLE ziglang_status ERROR_QUIET)
    if(ziglang_status EQUAL 0 AND EXISTS "${ziglang_dir}/zig")
      set(PELORKIT_ZIG "${ziglang_dir}/zig")
      break()
    endif()
  endforeach()
endif()
if(NOT PELORKIT_ZIG)
  message(FATAL_ERROR "zig not found: pip install ziglang (or the dev extra), or set PELORKIT_ZIG")
endif()
set(PELORKIT_ZIG "${PELORKIT_ZIG}" CACHE FILEPATH "zig executable" FORCE)
set(PELORKIT_ZIG_TARGET "${PELORKIT_ZIG_TARGET}" CACHE STRING "zig target triple" FORCE)
# CMake's checks compile in projects of their own, which read this file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PELORKIT_ZIG PELORKIT_ZIG_TARGET)

string(REGEX MATCH "^[^-]+" PELORKIT_ZIG_ARCH "${PELORKIT_ZIG_TARGET}")
if(NOT PELORKIT_ZIG_ARCH STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR "${PELORKIT_ZIG_ARCH}")
endif()

set(CMAKE_C_COMPILER "${PELORKIT_ZIG}" cc)
set(CMAKE_CXX_COMPILER "${PELORKIT_ZIG}" c++)
set(CMAKE_C_COMPILER_TARGET "${PELORKIT_ZIG_TARGET}")
set(CMAKE_CXX_COMPILER_TARGET "${PELORKIT_ZIG_TARGET}")
# zig caches every compiled object itself (in ~/.cache/zig), across build
# folders and interpreters; a compiler cache in front of it would only add work.
set(PELORKIT_NO_CCACHE ON)
set(CMAKE_COMPILE_WARNING_AS_ERROR ON)
