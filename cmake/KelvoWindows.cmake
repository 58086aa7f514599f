# The Windows build (cross-built with mingw-w64): GoogleTest from Debian's googletest sources, and
# the test programs run under Wine in a Wine prefix of this build folder.
if(KELVO_BUILD_QT)
    message(FATAL_ERROR "the Windows build has no Qt: configure it with KELVO_BUILD_QT=OFF (the mingw preset does)")
endif()

set(KELVO_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources, built for the target")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
# Its build gives the GTest::gtest, GTest::gmock and GTest::gtest_main targets the suites link.
add_subdirectory(${KELVO_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

if(CMAKE_CROSSCOMPILING)
    set(KELVO_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
    # Every test and the build's own runs of target programs (test discovery) go through this.
    set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh ${KELVO_WINEPREFIX})
endif()

# localtime_r and M_PI, as on Linux (the C runtime has localtime_r as a wrapper of localtime_s).
add_compile_definitions(_POSIX_THREAD_SAFE_FUNCTIONS=200112L _USE_MATH_DEFINES)
