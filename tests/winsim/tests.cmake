# Tests of the simulated Windows itself.
file(GLOB WINSIM_TEST_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/winsim/tests/*.cpp)
add_executable(winsim_tests ${WINSIM_TEST_SOURCES})
target_compile_options(winsim_tests PRIVATE ${WARNING_FLAGS} -fno-omit-frame-pointer)
target_link_libraries(winsim_tests PRIVATE winsim GTest::gtest GTest::gtest_main)
gtest_discover_tests(winsim_tests PROPERTIES LABELS host DISCOVERY_TIMEOUT 60)
