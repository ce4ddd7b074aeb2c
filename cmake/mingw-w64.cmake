# Cross build for 64-bit Windows with mingw-w64; the tests run under Wine.
#   cmake -S . -B build-windows --toolchain cmake/mingw-w64.cmake
# scripts/windows/build.sh does this and prepares libbzip2 and GoogleTest first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(UPDATE_MINGW_TRIPLET x86_64-w64-mingw32)
# The posix thread model: GoogleTest needs std::mutex, which the default win32
# model lacks. -static links its winpthreads into the executable as well.
set(CMAKE_C_COMPILER ${UPDATE_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${UPDATE_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${UPDATE_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${UPDATE_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# One executable that needs no DLL beyond the system's: without -static the
# program wants libstdc++-6.dll and Wine ends it with code 53 before main.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

set(CMAKE_CROSSCOMPILING_EMULATOR wine)
