# Cross-compiles for macOS 11 on x86_64 with Zig (see README.md here).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TARNWICK_ZIG_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/macos-common.cmake)
