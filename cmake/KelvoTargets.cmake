# Helpers that keep the per-folder CMakeLists short: a folder's library is every
# .cpp file in it, and every test suite file becomes one test program.

# kelvo_folder_library(NAME DIR [LINKS ...]): a static library of DIR/*.cpp.
function(kelvo_folder_library name dir)
    file(GLOB sources CONFIGURE_DEPENDS ${dir}/*.cpp)
    if(sources)
        add_library(${name} STATIC ${sources})
        target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
        target_link_libraries(${name} PUBLIC ${ARGN} PRIVATE kelvo_warnings)
    else()
        # A folder without sources yet still gives a target, so dependents link.
        add_library(${name} INTERFACE)
        target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
        target_link_libraries(${name} INTERFACE ${ARGN})
    endif()
endfunction()

# kelvo_test_suites(DIR LABEL [LINKS ...] [EXCLUDE STEM ...]): one GoogleTest program per DIR/*.cpp
# but the excluded ones, registered with ctest under LABEL. A folder without suites gives none.
function(kelvo_test_suites dir label)
    cmake_parse_arguments(SUITES "" "" "EXCLUDE" ${ARGN})
    file(GLOB suites CONFIGURE_DEPENDS ${dir}/*.cpp)
    foreach(suite ${suites})
        get_filename_component(stem ${suite} NAME_WE)
        if(stem IN_LIST SUITES_EXCLUDE)
            continue()
        endif()
        set(target ${label}_${stem})
        add_executable(${target} ${suite})
        target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
        target_link_libraries(${target} PRIVATE ${SUITES_UNPARSED_ARGUMENTS} GTest::gtest GTest::gmock GTest::gtest_main
                              kelvo_warnings)
        if(CMAKE_CROSSCOMPILING)
            # Under an emulator every start is costly: the whole suite is one test.
            add_test(NAME ${target} COMMAND ${target})
            set_tests_properties(${target} PROPERTIES LABELS ${label})
        else()
            gtest_discover_tests(${target} PROPERTIES LABELS ${label} DISCOVERY_TIMEOUT 60)
        endif()
    endforeach()
endfunction()

# kelvo_benchmarks(DIR [LINKS ...]): one Google Benchmark program per DIR/*.cpp.
function(kelvo_benchmarks dir)
    file(GLOB programs CONFIGURE_DEPENDS ${dir}/*.cpp)
    foreach(program ${programs})
        get_filename_component(stem ${program} NAME_WE)
        add_executable(bench_${stem} ${program})
        target_include_directories(bench_${stem} PRIVATE ${PROJECT_SOURCE_DIR})
        target_link_libraries(bench_${stem} PRIVATE ${ARGN} benchmark::benchmark_main kelvo_warnings)
    endforeach()
endfunction()
