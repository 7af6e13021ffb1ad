# Cross-compiles the 32-bit product (PE32) with mingw-w64; tests run through 32-bit Wine.
set(ORVEX_MINGW_TRIPLET i686-w64-mingw32)
set(ORVEX_WINE_LOADER_NAMES wine)
# The stack alignment flag of the 32-bit build is a compile option in CMakeLists.txt,
# where no cached or given CMAKE_CXX_FLAGS can drop it.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
