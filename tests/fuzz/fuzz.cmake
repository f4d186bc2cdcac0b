# Fuzz targets for the runtime's parsers and buffers. Each runs the code under
# test as a process on the simulated Windows and compares it with a reference
# written in the target.
#
# With KALMARIS_FUZZ (clang only) they are libFuzzer programs built with
# AddressSanitizer and UBSan; scripts/fuzz.sh builds them in build/fuzz and
# fuzzes. Without it they are built with a small driver that only replays
# inputs. Either way CTest replays the committed regression corpus,
# tests/fuzz/corpus/<target>, under the label "fuzz".
set(FUZZ_TARGETS fuzz_arguments fuzz_environment fuzz_shell_folder fuzz_text_file)
set(FUZZ_CORPUS_DIR ${PROJECT_SOURCE_DIR}/tests/fuzz/corpus)
set(FUZZ_TARGET_FLAGS -Wall -Wextra -Werror -Wshadow -Wconversion -Wno-sign-conversion -fno-omit-frame-pointer)

if(KALMARIS_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "KALMARIS_FUZZ needs clang with libFuzzer (CC=clang CXX=clang++)")
  endif()
  set(FUZZ_SANITIZERS -fsanitize=address,undefined -fno-sanitize-recover=all)

  # The simulated Windows with the sanitizers but without coverage feedback:
  # the coverage that guides the fuzzer is the program's and the targets'.
  get_target_property(FUZZ_WINSIM_SOURCES winsim SOURCES)
  add_library(fuzz_winsim STATIC ${FUZZ_WINSIM_SOURCES})
  target_include_directories(fuzz_winsim PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_options(fuzz_winsim PRIVATE ${WARNING_FLAGS} ${FUZZ_SANITIZERS} -fno-omit-frame-pointer)
  target_link_options(fuzz_winsim INTERFACE ${FUZZ_SANITIZERS})

  # The program's sources without the code-page conversion of the texts
  # (clang has none; the texts do not matter here).
  add_library(fuzz_program STATIC ${RUNTIME_SOURCES} ${PRODUCT_SOURCES})
  target_include_directories(fuzz_program PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_options(fuzz_program PRIVATE ${WARNING_FLAGS} -fsanitize=fuzzer-no-link ${FUZZ_SANITIZERS}
                                              -fno-omit-frame-pointer)
  target_link_libraries(fuzz_program PUBLIC fuzz_winsim)

  foreach(target ${FUZZ_TARGETS})
    add_executable(${target} ${PROJECT_SOURCE_DIR}/tests/fuzz/${target}.cpp)
    target_compile_options(${target} PRIVATE ${FUZZ_TARGET_FLAGS} -fsanitize=fuzzer ${FUZZ_SANITIZERS})
    target_link_options(${target} PRIVATE -fsanitize=fuzzer ${FUZZ_SANITIZERS})
    target_link_libraries(${target} PRIVATE fuzz_program)
  endforeach()
else()
  foreach(target ${FUZZ_TARGETS})
    add_executable(${target} ${PROJECT_SOURCE_DIR}/tests/fuzz/${target}.cpp
                             ${PROJECT_SOURCE_DIR}/tests/fuzz/replay_main.cpp)
    target_compile_options(${target} PRIVATE ${FUZZ_TARGET_FLAGS})
    target_link_libraries(${target} PRIVATE kalmaris_host)
  endforeach()
endif()

add_custom_target(fuzz_targets DEPENDS ${FUZZ_TARGETS})

# -runs=0: run every input of the corpus once, mutate nothing.
foreach(target ${FUZZ_TARGETS})
  add_test(NAME ${target}.corpus COMMAND ${target} -runs=0 ${FUZZ_CORPUS_DIR}/${target})
  set_tests_properties(${target}.corpus PROPERTIES LABELS fuzz TIMEOUT 120)
endforeach()
