# `kit`: the installation directory as it is shipped, in build/windows/kit/:
#   REMOVE.EXE            the release file, byte for byte
#   KM.EXE                the stand-in for the product (kit/km.c)
#   KM.RTF                the stand-in for its manual
#   Kalmaris.lnk          shortcut to KM.EXE     } working directory
#   Něco jako manuál.lnk  shortcut to KM.RTF     } C:\Program Files\Kalmaris
# Nothing in them depends on the build machine or the time: two clean builds
# in any folders give the same five files. Part of every build, so the tests
# always find it.
set(KIT_DIR ${CMAKE_CURRENT_BINARY_DIR}/kit)

# KM.EXE: a freestanding GUI program like the tool, but on its own: no C
# runtime and nothing of runtime/, only kernel32 and user32.
add_executable(km WIN32 kit/km.c)
set_target_properties(km PROPERTIES OUTPUT_NAME KM SUFFIX .EXE RUNTIME_OUTPUT_DIRECTORY ${KIT_DIR})
target_compile_options(km PRIVATE -Os -ffreestanding -fno-ident -fno-asynchronous-unwind-tables -fno-stack-protector
                                  -march=i586 ${TEXT_FLAGS} ${WARNING_FLAGS})
target_link_options(km PRIVATE -nostdlib -Wl,-e,_KmStart@0 -Wl,--subsystem,windows:4.0 -Wl,--no-insert-timestamp
                               -Wl,--disable-dynamicbase -Wl,--disable-reloc-section -s)
target_link_libraries(km PRIVATE kernel32 user32)

set(KIT_LINKS ${KIT_DIR}/Kalmaris.lnk "${KIT_DIR}/Něco jako manuál.lnk")
add_custom_command(OUTPUT ${KIT_LINKS}
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/kit/make_links.py ${KIT_DIR}
  DEPENDS ${PROJECT_SOURCE_DIR}/kit/make_links.py
  COMMENT "Writing the kit's shortcuts"
  VERBATIM)
add_custom_command(OUTPUT ${KIT_DIR}/KM.RTF
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/kit/KM.RTF ${KIT_DIR}/KM.RTF
  DEPENDS ${PROJECT_SOURCE_DIR}/kit/KM.RTF
  VERBATIM)
add_custom_command(OUTPUT ${KIT_DIR}/REMOVE.EXE
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:remove> ${KIT_DIR}/REMOVE.EXE
  DEPENDS remove
  COMMENT "Copying REMOVE.EXE into the kit"
  VERBATIM)
add_custom_target(kit ALL DEPENDS km ${KIT_DIR}/REMOVE.EXE ${KIT_DIR}/KM.RTF ${KIT_LINKS})
