# Cross builds for a CPU of tools/matrix.toml other than this machine's, with
# Debian's cross compiler for it; the programs run under qemu-user, with the
# cross toolchain's libraries as their root. Everything comes from the CPU's row
# of the matrix, which tools/test-all.sh passes:
#   -DMARUNDEX_CROSS_CPU=aarch64                  the row's key (uname -m's name)
#   -DMARUNDEX_CROSS_PREFIX=aarch64-linux-gnu-    cross_prefix
#   -DMARUNDEX_CROSS_QEMU=qemu-aarch64            qemu
#   -DMARUNDEX_CROSS_QEMU_CPU=max                 qemu_cpu
set(marundex_cross MARUNDEX_CROSS_CPU MARUNDEX_CROSS_PREFIX MARUNDEX_CROSS_QEMU MARUNDEX_CROSS_QEMU_CPU)
# CMake reads this file again for each of its compile checks, in a project of
# their own: they get the same values.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ${marundex_cross})
foreach(var IN LISTS marundex_cross)
  if(NOT ${var})
    message(FATAL_ERROR "tools/cmake/cross.cmake needs -D${var}=..., from the CPU's row of tools/matrix.toml")
  endif()
endforeach()
string(REGEX REPLACE "-$" "" marundex_triplet "${MARUNDEX_CROSS_PREFIX}")

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${MARUNDEX_CROSS_CPU})
set(CMAKE_CXX_COMPILER ${MARUNDEX_CROSS_PREFIX}g++)
set(CMAKE_C_COMPILER ${MARUNDEX_CROSS_PREFIX}gcc)
set(CMAKE_CROSSCOMPILING_EMULATOR ${MARUNDEX_CROSS_QEMU}-static -cpu ${MARUNDEX_CROSS_QEMU_CPU} -L /usr/${marundex_triplet})
set(CMAKE_FIND_ROOT_PATH /usr/${marundex_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
