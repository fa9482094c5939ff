# Cross toolchain for the release wheels: zig's clang with its own glibc 2.17
# stubs, libc++ and libunwind, so the modules run on any manylinux2014 system.
#   -DCMAKE_TOOLCHAIN_FILE=cmake/zig-toolchain.cmake
#   -DDECK_ZIG=/path/to/zig -DDECK_ZIG_TARGET=aarch64-linux-gnu.2.17
# (scripts/wheels.sh passes both.)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES DECK_ZIG DECK_ZIG_TARGET)
if(NOT DECK_ZIG OR NOT DECK_ZIG_TARGET)
  message(FATAL_ERROR "zig toolchain: set DECK_ZIG (the zig binary) and DECK_ZIG_TARGET (e.g. x86_64-linux-gnu.2.17)")
endif()
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR "${DECK_ZIG_TARGET}")
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER "${DECK_ZIG}" c++ -target "${DECK_ZIG_TARGET}")
