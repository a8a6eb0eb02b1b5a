# One library target per layer. Sources are the .cpp files of the layer's folder; a layer that has
# none yet is an interface target, so that links further up stay valid while it is being built.
function(norvane_layer target)
    cmake_parse_arguments(ARG "" "" "DEPENDS;PACKAGES" ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
    if(sources)
        add_library(${target} STATIC ${sources})
        target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}/generated)
        target_link_libraries(${target} PUBLIC ${ARG_DEPENDS} ${ARG_PACKAGES})
        norvane_warnings(${target})
    else()
        add_library(${target} INTERFACE)
        target_include_directories(${target} INTERFACE ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}/generated)
        target_link_libraries(${target} INTERFACE ${ARG_DEPENDS} ${ARG_PACKAGES})
    endif()
endfunction()

function(norvane_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast
                                             -Wcast-align -Woverloaded-virtual -Wformat=2)
    # GCC 12 at -O2 reports overlaps inside libstdc++'s own string concatenation that cannot happen
    # (its bug 105329); the warning says nothing about our code there.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
        target_compile_options(${target} PRIVATE -Wno-restrict)
    endif()
    if(NORVANE_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()

# A test executable per folder of tests/: every *Test.cpp file in it, run through CTest.
function(norvane_test_folder name)
    cmake_parse_arguments(ARG "" "" "DEPENDS" ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*Test.cpp)
    if(NOT sources)
        return()
    endif()
    add_executable(${name} ${sources})
    target_link_libraries(${name} PRIVATE ${ARG_DEPENDS} GTest::gmock GTest::gtest_main Threads::Threads)
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    norvane_warnings(${name})
    add_dependencies(${name} norvane_catalogues)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ENVIRONMENT
                         "NORVANE_LOCALEDIR=${PROJECT_BINARY_DIR}/share/locale;NORVANE_TEST_DATA=${PROJECT_SOURCE_DIR}/tests/data")
endfunction()
