# The set-up's package installs when a mirror is caught mid-sync.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME setup_apt
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/test_apt.py)
set_tests_properties(setup_apt PROPERTIES LABELS setup TIMEOUT 300 ENVIRONMENT "PYTHONDONTWRITEBYTECODE=1")
