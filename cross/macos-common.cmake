# What both macOS toolchains share, for the target that CMAKE_SYSTEM_PROCESSOR
# and TARNWICK_ZIG_ARCH (Zig's name for it) say. The compilers and archivers
# are the <arch>-macos-* links to zig-driver beside this file.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 20)  # Darwin 20 is macOS 11
set(CMAKE_C_COMPILER ${CMAKE_CURRENT_LIST_DIR}/${TARNWICK_ZIG_ARCH}-macos-cc)
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/${TARNWICK_ZIG_ARCH}-macos-c++)
set(CMAKE_AR ${CMAKE_CURRENT_LIST_DIR}/${TARNWICK_ZIG_ARCH}-macos-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${CMAKE_CURRENT_LIST_DIR}/${TARNWICK_ZIG_ARCH}-macos-ranlib CACHE FILEPATH "")

# Zig picks the SDK and the minimum version itself, so CMake must not add its
# own -isysroot or -mmacosx-version-min.
set(CMAKE_OSX_SYSROOT "" CACHE STRING "")
set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "")
set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "")

# Libraries and headers come only from the prefix staged for this target
# (TARNWICK_TARGET_PREFIX): without this, /usr/include slips in silently and
# a Linux-only header compiles.
set(TARNWICK_TARGET_PREFIX "" CACHE PATH "The staged prefix of target libraries")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARNWICK_TARGET_PREFIX)
set(CMAKE_FIND_ROOT_PATH ${TARNWICK_TARGET_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
