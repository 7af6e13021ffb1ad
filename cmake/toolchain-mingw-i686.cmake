# Cross-compiles the 32-bit product (PE32) with mingw-w64; tests run through 32-bit Wine.
set(ORVEX_MINGW_TRIPLET i686-w64-mingw32)
set(ORVEX_WINE_LOADER_NAMES wine)
# 32-bit Windows aligns a thread's stack to 4 bytes only, while GCC assumes 16: every
# function that keeps SSE values on its stack must realign it itself, whoever calls it.
set(CMAKE_C_FLAGS_INIT "-mincoming-stack-boundary=2")
set(CMAKE_CXX_FLAGS_INIT "-mincoming-stack-boundary=2")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
