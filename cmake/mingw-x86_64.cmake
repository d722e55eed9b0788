# Cross-compiles for 64-bit Windows, for machines whose kernel runs no 32-bit
# programs and so no 32-bit Wine: there the tests run a 64-bit build of the
# same sources. The product stays 32-bit.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
