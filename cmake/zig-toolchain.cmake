# Cross toolchain for the release wheels: zig's clang with its own glibc 2.17
# stubs, libc++ and libunwind, so the modules run on any manylinux2014 system;
# for macOS, its libSystem stubs and libc++ (linked in statically, as on Linux).
#   -DCMAKE_TOOLCHAIN_FILE=cmake/zig-toolchain.cmake
#   -DDECK_ZIG=/path/to/zig -DDECK_ZIG_TARGET=aarch64-linux-gnu.2.17   (or aarch64-macos.11.0)
# (scripts/wheels.sh passes both.)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES DECK_ZIG DECK_ZIG_TARGET)
if(NOT DECK_ZIG OR NOT DECK_ZIG_TARGET)
  message(FATAL_ERROR "zig toolchain: set DECK_ZIG (the zig binary) and DECK_ZIG_TARGET (e.g. x86_64-linux-gnu.2.17)")
endif()
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR "${DECK_ZIG_TARGET}")
if(DECK_ZIG_TARGET MATCHES "-macos")
  set(CMAKE_SYSTEM_NAME Darwin)
  # The target names the minimum macOS; no SDK, no -arch, no -mmacosx-version-min.
  set(CMAKE_OSX_SYSROOT "" CACHE PATH "")
  set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "")
  set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "")
  # zig's Mach-O linker makes no bundles (-bundle): the modules are dylibs, which
  # dlopen loads alike. Stripping after the link would void the arm64 signature
  # (and the host's strip is made for ELF): the link strips (-Wl,-x,-S).
  set(CMAKE_USER_MAKE_RULES_OVERRIDE_CXX "${CMAKE_CURRENT_LIST_DIR}/zig-darwin-rules.cmake")
  set(CMAKE_STRIP "" CACHE FILEPATH "")
else()
  set(CMAKE_SYSTEM_NAME Linux)
endif()
set(CMAKE_CXX_COMPILER "${DECK_ZIG}" c++ -target "${DECK_ZIG_TARGET}")
