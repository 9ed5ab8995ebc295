# Cross-compiles for macOS 11 on arm64 with Zig (see README.md here).
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(TARNWICK_ZIG_ARCH aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/macos-common.cmake)
