# Cross build for the device on its own C library, uClibc-ng: Debian's mips-linux-gnu cross compiler (MIPS32
# big-endian), made a uClibc compiler by the specs file of a sysroot that scripts/uclibc-sysroot makes. Give that
# sysroot, or a staging tree made from it, as CMAKE_SYSROOT; without one, the project's own is used.
#
# This C library has no C++ run-time, and korvalt needs none: CMake's compiler checks build a static library,
# since a test program linked by the C++ driver would ask for libstdc++.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(CMAKE_C_COMPILER mips-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mips-linux-gnu-g++)
if(NOT CMAKE_SYSROOT)
  set(CMAKE_SYSROOT ${CMAKE_CURRENT_LIST_DIR}/../build/uclibc-sysroot/sysroot)
endif()
set(CMAKE_C_FLAGS_INIT "-specs=${CMAKE_SYSROOT}/usr/lib/korvalt-uclibc.specs")
set(CMAKE_CXX_FLAGS_INIT "-specs=${CMAKE_SYSROOT}/usr/lib/korvalt-uclibc.specs")
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mips -L ${CMAKE_SYSROOT})
