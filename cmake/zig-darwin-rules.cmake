# Read after CMake's Darwin rules (see zig-toolchain.cmake): modules link as dylibs.
set(CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS "-shared")
