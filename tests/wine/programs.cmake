# Windows programs used only by the Wine tests; none of them is shipped.

# RUNTIME_PROBE.EXE: the runtime services on real Win32, one operation a run.
add_executable(runtime_probe WIN32 ${RUNTIME_SOURCES} tests/wine/runtime_probe.cpp)
set_target_properties(runtime_probe PROPERTIES OUTPUT_NAME RUNTIME_PROBE SUFFIX .EXE)
freestanding_program(runtime_probe)

# CLICKER.EXE: answers message boxes and serves the harness's requests inside
# the Wine session. An ordinary program with the MinGW C runtime.
add_executable(clicker WIN32 tests/wine/clicker.c)
set_target_properties(clicker PROPERTIES OUTPUT_NAME CLICKER SUFFIX .EXE)
target_compile_options(clicker PRIVATE -O2 -Wall -Wextra -Werror)
target_link_options(clicker PRIVATE -static -static-libgcc -s)
target_link_libraries(clicker PRIVATE ole32 uuid user32 advapi32 kernel32)

# MINIMAL_BOX.EXE: one message box and the exit, with REMOVE.EXE's compile and
# link flags; the benchmark's reference for the time to the first box.
add_executable(minimal_box WIN32 tests/wine/minimal_box.cpp)
set_target_properties(minimal_box PROPERTIES OUTPUT_NAME MINIMAL_BOX SUFFIX .EXE)
freestanding_program(minimal_box)

# DEBUG_LAUNCHER.EXE: runs a program under the Win32 debugging interface and
# tries to overwrite a file when the program reaches a chosen call. An
# ordinary program with the MinGW C runtime.
add_executable(debug_launcher WIN32 tests/wine/debug_launcher.c)
set_target_properties(debug_launcher PROPERTIES OUTPUT_NAME DEBUG_LAUNCHER SUFFIX .EXE)
target_compile_options(debug_launcher PRIVATE -O2 -Wall -Wextra -Werror)
target_link_options(debug_launcher PRIVATE -static -static-libgcc -s)
target_link_libraries(debug_launcher PRIVATE kernel32)
