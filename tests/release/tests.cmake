# Checks on the shipped REMOVE.EXE as a file (headers, imports, resources),
# run against the cross build's output.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME release_pe
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/test_pe.py)
set_tests_properties(release_pe PROPERTIES
  LABELS release
  ENVIRONMENT "REMOVE_EXE=${WINDOWS_BUILD_DIR}/REMOVE.EXE;WINDOWS_BUILD_DIR=${WINDOWS_BUILD_DIR}")

# The signed release: made by the release target from a throwaway certificate,
# verified, taken back to the unsigned bytes, and checked as a file.
add_test(NAME release_signing
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/test_signing.py)
set_tests_properties(release_signing PROPERTIES
  LABELS release
  TIMEOUT 300
  ENVIRONMENT "REMOVE_EXE=${WINDOWS_BUILD_DIR}/REMOVE.EXE;PYTHONDONTWRITEBYTECODE=1")

# The documents: every relative link and anchor in README.md and docs/*.md
# leads to a file and a heading that exist.
add_test(NAME release_docs
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/test_docs.py)
set_tests_properties(release_docs PROPERTIES
  LABELS release
  ENVIRONMENT "PYTHONDONTWRITEBYTECODE=1")
