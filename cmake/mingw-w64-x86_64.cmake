# Cross-build for 64-bit Windows with Debian's mingw-w64 compilers (posix thread model, so that
# std::thread and std::mutex work). The runtime is linked statically: each program is one .exe.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KELVO_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KELVO_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KELVO_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KELVO_MINGW_TRIPLET}-windres)
set(CMAKE_ASM_COMPILER ${KELVO_MINGW_TRIPLET}-gcc-posix)

set(CMAKE_FIND_ROOT_PATH /usr/${KELVO_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libz.a rather than the import library of zlib1.dll.
set(ZLIB_USE_STATIC_LIBS ON)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

