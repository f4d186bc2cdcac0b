# KALCHECK.EXE: the whole install and uninstall run and checked on the machine
# it is started on, for whoever releases the tool (build/windows/, not in the
# kit). A freestanding console program for Windows 95 onward: no C runtime,
# its own entry, no time stamp; it imports only what Windows 95 exports
# (tests/release/test_pe.py holds the list) and looks up anything newer when
# it runs. SHELL32 tells the shell's own folders, GDI32 draws the system's
# icons to name the one a box shows. gcc, for the stack probe of large frames,
# is a static library.
add_executable(kalcheck tests/kalcheck/cycle.c tests/kalcheck/observe.c tests/kalcheck/report.c)
set_target_properties(kalcheck PROPERTIES OUTPUT_NAME KALCHECK SUFFIX .EXE)
target_include_directories(kalcheck PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(kalcheck PRIVATE -Os -ffreestanding -fno-ident -fno-asynchronous-unwind-tables
                                        -fno-stack-protector -march=i586 ${TEXT_FLAGS} ${WARNING_FLAGS})
target_link_options(kalcheck PRIVATE -nostdlib -Wl,-e,_KalcheckStart@0 -Wl,--subsystem,console:4.0
                                     -Wl,--no-insert-timestamp -Wl,--disable-dynamicbase -Wl,--disable-reloc-section -s)
target_link_libraries(kalcheck PRIVATE ole32 shell32 gdi32 kernel32 user32 advapi32 gcc)
