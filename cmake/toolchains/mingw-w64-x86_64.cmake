# Cross-builds the 64-bit Windows form with Debian's MinGW-w64 compiler
# (g++-mingw-w64-x86-64-posix: the POSIX thread model, which std::thread and
# std::mutex need) and runs what it builds through wine:
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-x86_64.cmake
# Packages are looked up only in the MinGW-w64 root and in the prefixes listed
# in CORVANE_WINDOWS_PREFIXES (GoogleTest and libsndfile built for Windows,
# the header-only nlohmann-json and CLI11 with their CMake files): nothing of
# the build machine's own libraries or C headers can slip in.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_corvane_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_corvane_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_corvane_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_corvane_triple}-windres)

# Test programs, test discovery and anything else CMake runs go through wine.
find_program(CORVANE_WINE NAMES wine wine64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CORVANE_WINE})
# Wine shows the build machine's / as drive Z:. Paths of the build tree baked
# into a test program or the tool carry this, so they hold whatever the
# program's current drive is.
set(CORVANE_EMULATOR_ROOT "Z:")

set(CORVANE_WINDOWS_PREFIXES "" CACHE STRING "Install prefixes of libraries built for Windows")
set(CMAKE_FIND_ROOT_PATH /usr/${_corvane_triple} ${CORVANE_WINDOWS_PREFIXES})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
