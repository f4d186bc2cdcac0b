# REMOVE.EXE: a freestanding Windows GUI program. No C or C++ runtime is
# linked; runtime/ supplies start-up, memory and string services.
enable_language(RC)

# Small functions stay calls (-fno-inline-small-functions): copied into each
# caller they make the program larger, not faster in any way that shows.
set(FREESTANDING_COMPILE
  -Oz -flto -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics
  -fno-tree-loop-distribute-patterns -fno-omit-frame-pointer -fno-asynchronous-unwind-tables
  -fno-unwind-tables -fno-stack-protector -fno-ident -ffunction-sections
  -march=i586 -mpreferred-stack-boundary=2 -malign-data=abi -fno-inline-small-functions)
# No function probes the stack: every frame stays below the 4 KB guard page
# by a margin (for the arguments pushed after it), and a larger one fails the
# build (the check runs where the code is made, in the link-time step). This
# also lets the compiler push arguments instead of reserving room for them.
set(STACK_FLAGS -mno-stack-arg-probe -Wframe-larger-than=3072 -Werror)
list(APPEND FREESTANDING_COMPILE ${STACK_FLAGS})
set(FREESTANDING_LINK ${STACK_FLAGS}
  -nostdlib -Oz -flto -Wl,-e,_ProcessStart@0 -Wl,--subsystem,windows:4.0 -Wl,--no-insert-timestamp
  -Wl,--gc-sections -Wl,--disable-dynamicbase -Wl,--disable-reloc-section -s)
set(FREESTANDING_LIBS kernel32 user32 advapi32 gcc)
set(CMAKE_CXX_STANDARD_LIBRARIES "")
set(CMAKE_C_STANDARD_LIBRARIES "")

function(freestanding_program target)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${FREESTANDING_COMPILE} ${TEXT_FLAGS} ${WARNING_FLAGS} -std=c++17>)
  target_link_options(${target} PRIVATE ${FREESTANDING_LINK} -Wl,-T,${PROJECT_SOURCE_DIR}/cmake/sections.ld)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/sections.ld)
  target_link_libraries(${target} PRIVATE ${FREESTANDING_LIBS})
endfunction()

add_executable(remove WIN32 ${RUNTIME_SOURCES} ${PRODUCT_SOURCES} resources/remove.rc)
set_target_properties(remove PROPERTIES OUTPUT_NAME REMOVE SUFFIX .EXE)
freestanding_program(remove)

# The application icon is drawn by scripts/make_icon.py into the build folder
# (the repository keeps no binary); windres finds it through the RC include
# path, and remove.rc is compiled again whenever the icon changes.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(ICON_DIR ${CMAKE_CURRENT_BINARY_DIR}/icon)
add_custom_command(OUTPUT ${ICON_DIR}/remove.ico
  COMMAND ${CMAKE_COMMAND} -E make_directory ${ICON_DIR}
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/scripts/make_icon.py ${ICON_DIR}/remove.ico
  DEPENDS ${PROJECT_SOURCE_DIR}/scripts/make_icon.py
  COMMENT "Drawing the application icon"
  VERBATIM)
target_sources(remove PRIVATE ${ICON_DIR}/remove.ico)
target_include_directories(remove PRIVATE $<$<COMPILE_LANGUAGE:RC>:${ICON_DIR}>)
set_source_files_properties(resources/remove.rc PROPERTIES OBJECT_DEPENDS ${ICON_DIR}/remove.ico)

# `release`: REMOVE.EXE with its SHA-256 beside it (REMOVE.EXE.sha256, in the
# format sha256sum -c reads). The build is byte-reproducible: no time stamps,
# no build paths.
add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/REMOVE.EXE.sha256
  COMMAND sha256sum REMOVE.EXE > REMOVE.EXE.sha256
  DEPENDS remove
  WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
  COMMENT "Checksum of REMOVE.EXE"
  VERBATIM)
add_custom_target(release ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/REMOVE.EXE.sha256)

# Windows programs used only by the tests (never shipped).
if(EXISTS ${PROJECT_SOURCE_DIR}/tests/wine/programs.cmake)
  include(${PROJECT_SOURCE_DIR}/tests/wine/programs.cmake)
endif()
