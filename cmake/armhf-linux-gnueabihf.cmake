# Cross build for Debian armhf (32-bit ARM, hard-float ABI) with Debian's
# cross toolchain (package g++-arm-linux-gnueabihf). The compiler's defaults
# are Debian's armhf baseline (ARMv7-A, VFPv3-D16, Thumb-2, hard-float calling
# convention); the project adds its own floating-point flags on top, exactly
# as in the native build.
#
# OSTREL_ARMHF_ROOT names an armhf root file system (an extracted Debian
# system, see scripts/check-armhf). When given, libraries and packages such as
# GoogleTest are looked up there, and programs built here (test discovery,
# CTest) run under qemu-arm-static with that root as the library prefix.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
# GCC notes that passing std::span by value changed ABI in GCC 7.1; everything
# here is built by one compiler, so the note is noise.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

# try_compile projects re-read this file: hand the root on to them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES OSTREL_ARMHF_ROOT)

if(OSTREL_ARMHF_ROOT)
  set(CMAKE_FIND_ROOT_PATH "${OSTREL_ARMHF_ROOT}")
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static -L "${OSTREL_ARMHF_ROOT}")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
