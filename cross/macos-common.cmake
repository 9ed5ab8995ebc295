# What both macOS toolchains share. Zig picks the SDK and the minimum version
# itself, so CMake must not add its own -isysroot or -mmacosx-version-min.
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
