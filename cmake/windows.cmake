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

find_package(Python3 REQUIRED COMPONENTS Interpreter)

# The layout's sections get their access rights from the build, not from ld:
# newer linkers make a section named .rsrc read-only, and the loader writes
# the import address table kept there.
function(freestanding_program target)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${FREESTANDING_COMPILE} ${TEXT_FLAGS} ${WARNING_FLAGS} -std=c++17>)
  target_link_options(${target} PRIVATE ${FREESTANDING_LINK} -Wl,-T,${PROJECT_SOURCE_DIR}/cmake/sections.ld)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/sections.ld)
  target_link_libraries(${target} PRIVATE ${FREESTANDING_LIBS})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/scripts/section_flags.py $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()

add_executable(remove WIN32 ${RUNTIME_SOURCES} ${PRODUCT_SOURCES} resources/remove.rc)
set_target_properties(remove PROPERTIES OUTPUT_NAME REMOVE SUFFIX .EXE)
freestanding_program(remove)

# The application icon is drawn by scripts/make_icon.py into the build folder
# (the repository keeps no binary); windres finds it through the RC include
# path, and remove.rc is compiled again whenever the icon changes.
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
set(RELEASE_FILES ${CMAKE_CURRENT_BINARY_DIR}/REMOVE.EXE.sha256)

# Given the vendor's certificate, `release` also writes signed/REMOVE.EXE
# (Authenticode, SHA-256) and signed/REMOVE.EXE.sha256; REMOVE.EXE itself
# stays unsigned and unchanged. scripts/sign.sh signs, verifies the
# signature and checks that removing it gives back REMOVE.EXE exactly. The
# password is read from the environment when the build runs, so it is
# neither in the cache nor on any command line.
set(KALMARIS_SIGN_PKCS12 "" CACHE FILEPATH
  "PKCS#12 file with the signing certificate and key (password: environment variable KALMARIS_SIGN_PASSWORD)")
set(KALMARIS_SIGN_CERT "" CACHE FILEPATH "Signing certificate (PEM), with KALMARIS_SIGN_KEY")
set(KALMARIS_SIGN_KEY "" CACHE FILEPATH "Private key of KALMARIS_SIGN_CERT (PEM)")
set(KALMARIS_SIGN_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamp server for the signature (optional)")
# scripts/sign.sh checks the combination of inputs and says what is wrong;
# here only the files must exist, as the signing step depends on them.
set(SIGN_ARGS)
foreach(input PKCS12 CERT KEY)
  if(KALMARIS_SIGN_${input})
    string(TOLOWER ${input} option)
    list(APPEND SIGN_ARGS --${option} ${KALMARIS_SIGN_${input}})
  endif()
endforeach()
if(KALMARIS_SIGN_TIMESTAMP_URL)
  list(APPEND SIGN_ARGS --timestamp ${KALMARIS_SIGN_TIMESTAMP_URL})
endif()
# Only a certificate or key turns signing on; a time-stamp server alone
# does not, so clearing the certificate turns it off whatever else is set.
if(KALMARIS_SIGN_PKCS12 OR KALMARIS_SIGN_CERT OR KALMARIS_SIGN_KEY)
  foreach(input ${KALMARIS_SIGN_PKCS12} ${KALMARIS_SIGN_CERT} ${KALMARIS_SIGN_KEY})
    if(NOT EXISTS ${input})
      message(FATAL_ERROR "Signing: ${input} does not exist")
    endif()
  endforeach()
  set(SIGNED ${CMAKE_CURRENT_BINARY_DIR}/signed/REMOVE.EXE)
  add_custom_command(OUTPUT ${SIGNED} ${SIGNED}.sha256
    COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/sign.sh ${SIGN_ARGS} $<TARGET_FILE:remove> ${SIGNED}
    DEPENDS remove ${PROJECT_SOURCE_DIR}/scripts/sign.sh ${KALMARIS_SIGN_PKCS12} ${KALMARIS_SIGN_CERT} ${KALMARIS_SIGN_KEY}
    COMMENT "Signing REMOVE.EXE (Authenticode, SHA-256) into signed/REMOVE.EXE"
    VERBATIM)
  list(APPEND RELEASE_FILES ${SIGNED}.sha256)
else()
  # Signing turned off: no signed file of an earlier build is left to be
  # taken for one of this build.
  file(REMOVE_RECURSE ${CMAKE_CURRENT_BINARY_DIR}/signed)
endif()
add_custom_target(release ALL DEPENDS ${RELEASE_FILES})

# The installation directory as shipped (build/windows/kit/).
include(${PROJECT_SOURCE_DIR}/kit/kit.cmake)

# KALCHECK.EXE: the whole cycle checked on a real Windows (build/windows/).
include(${PROJECT_SOURCE_DIR}/tests/kalcheck/kalcheck.cmake)

# The vendor's CD image: the kit, KALCHECK.EXE and a README (build/windows/KALMARIS.ISO).
include(${PROJECT_SOURCE_DIR}/kit/medium.cmake)

# Windows programs used only by the tests (never shipped).
if(EXISTS ${PROJECT_SOURCE_DIR}/tests/wine/programs.cmake)
  include(${PROJECT_SOURCE_DIR}/tests/wine/programs.cmake)
endif()
