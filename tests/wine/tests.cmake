# The Wine tests: every tests/wine/test_*.py module is one CTest test (label
# "wine"). They run the cross build's programs, so that build must exist; a
# missing program fails the test, it is never skipped.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

file(GLOB WINE_TEST_MODULES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/wine/test_*.py)
foreach(module_path ${WINE_TEST_MODULES})
  get_filename_component(module ${module_path} NAME_WE)
  add_test(NAME wine.${module}
           COMMAND ${Python3_EXECUTABLE} -m unittest -v ${module}
           WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/tests/wine)
  # Each machine has its own Xvfb display and prefix; the shared template is
  # made once under a lock, so the modules may run in parallel (ctest -j2).
  # The whole cycle runs at the two corners of the Windows versions: the
  # oldest in a 32-bit prefix, the newest in a 64-bit one (scripts/compat.sh
  # runs every version); the newest once more with the signed release.
  set_tests_properties(wine.${module} PROPERTIES
    LABELS wine
    TIMEOUT 1800
    ENVIRONMENT "KALMARIS_WINDOWS_BUILD=${WINDOWS_BUILD_DIR};KALMARIS_WINE_CACHE=${CMAKE_BINARY_DIR}/wine-cache;KALMARIS_WINE_ROWS=win95 win64:win10 win64:win10+signed;PYTHONDONTWRITEBYTECODE=1")
endforeach()
