# Cross-compiles for macOS 11 on arm64 with Zig (see README.md here).
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 20)  # Darwin 20 is macOS 11
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(CMAKE_C_COMPILER ${CMAKE_CURRENT_LIST_DIR}/aarch64-macos-cc)
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/aarch64-macos-c++)
set(CMAKE_AR ${CMAKE_CURRENT_LIST_DIR}/aarch64-macos-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${CMAKE_CURRENT_LIST_DIR}/aarch64-macos-ranlib CACHE FILEPATH "")
include(${CMAKE_CURRENT_LIST_DIR}/macos-common.cmake)
