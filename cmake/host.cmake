# Host build: the program's sources over the simulated Windows, with the
# GoogleTest suites and the Wine tests.
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
enable_testing()
find_package(GTest REQUIRED)

option(KALMARIS_SANITIZE "Build the host tests with AddressSanitizer and UBSan" OFF)
if(KALMARIS_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()

add_library(winsim STATIC
  tests/winsim/machine.cpp
  tests/winsim/files.cpp
  tests/winsim/registry.cpp
  tests/winsim/processes.cpp)
target_include_directories(winsim PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(winsim PRIVATE ${WARNING_FLAGS} -fno-omit-frame-pointer)

add_library(kalmaris_host STATIC ${RUNTIME_SOURCES} ${PRODUCT_SOURCES})
target_include_directories(kalmaris_host PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(kalmaris_host PRIVATE ${TEXT_FLAGS} ${WARNING_FLAGS} -fno-omit-frame-pointer)
target_link_libraries(kalmaris_host PUBLIC winsim)

include(GoogleTest)
file(GLOB HOST_TEST_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/host/*.cpp)
add_executable(host_tests ${HOST_TEST_SOURCES})
target_compile_options(host_tests PRIVATE ${TEXT_FLAGS} -Wall -Wextra -Werror -fno-omit-frame-pointer)
target_link_libraries(host_tests PRIVATE kalmaris_host GTest::gtest GTest::gtest_main)
gtest_discover_tests(host_tests PROPERTIES LABELS host DISCOVERY_TIMEOUT 60)

if(EXISTS ${PROJECT_SOURCE_DIR}/tests/winsim/tests.cmake)
  include(${PROJECT_SOURCE_DIR}/tests/winsim/tests.cmake)
endif()

# The cross build's output folder, for the tests that run the real programs.
set(WINDOWS_BUILD_DIR "${PROJECT_SOURCE_DIR}/build/windows" CACHE PATH "Cross build folder")
if(EXISTS ${PROJECT_SOURCE_DIR}/tests/wine/tests.cmake)
  include(${PROJECT_SOURCE_DIR}/tests/wine/tests.cmake)
endif()

if(EXISTS ${PROJECT_SOURCE_DIR}/tests/release/tests.cmake)
  include(${PROJECT_SOURCE_DIR}/tests/release/tests.cmake)
endif()
include(${PROJECT_SOURCE_DIR}/tests/setup/tests.cmake)

# Fuzz targets: libFuzzer binaries when built with clang and KALMARIS_FUZZ,
# otherwise replay programs that run the committed corpus in every test run.
option(KALMARIS_FUZZ "Build the fuzz targets with libFuzzer (clang only)" OFF)
include(${PROJECT_SOURCE_DIR}/tests/fuzz/fuzz.cmake)
