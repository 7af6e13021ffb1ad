# Cross-compiles the same sources as a 64-bit PE, for machines whose kernel cannot run
# 32-bit user code (there Wine cannot load a PE32); tests run through wine64.
set(ORVEX_MINGW_TRIPLET x86_64-w64-mingw32)
set(ORVEX_WINE_LOADER_NAMES wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
