# Cross-compiles for 32-bit Windows, the product's target, and runs built
# programs under Wine.
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
