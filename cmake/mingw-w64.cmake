# Cross build of the Windows program with mingw-w64 (posix thread model).
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# Test programs run under wine through ctest.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUENNEL_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUENNEL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUENNEL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QUENNEL_MINGW_TRIPLET}-windres)

# Libraries and packages come from the target's tree only, tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${QUENNEL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program is self-contained: a copied .exe runs without mingw DLLs
# beside it, on Windows and under wine alike.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64 CACHE FILEPATH
    "Runs the Windows test programs on the build machine")

# libsodium, built for this target by scripts/libsodium-mingw.sh into the
# user's cache (QUENNEL_CACHE, else XDG_CACHE_HOME or ~/.cache, then quennel/).
if(NOT "$ENV{QUENNEL_CACHE}" STREQUAL "")
  set(QUENNEL_CACHE_DIR "$ENV{QUENNEL_CACHE}")
elseif(NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
  set(QUENNEL_CACHE_DIR "$ENV{XDG_CACHE_HOME}/quennel")
else()
  set(QUENNEL_CACHE_DIR "$ENV{HOME}/.cache/quennel")
endif()
list(APPEND CMAKE_FIND_ROOT_PATH "${QUENNEL_CACHE_DIR}/libsodium-mingw64")
