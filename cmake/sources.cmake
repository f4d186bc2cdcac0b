# The program's own sources, shared by the real build and the host build.
set(RUNTIME_SOURCES
  runtime/text.cpp
  runtime/memory.cpp
  runtime/arguments.cpp
  runtime/environment.cpp
  runtime/files.cpp
  runtime/text_file.cpp
  runtime/fatal_error.cpp
  runtime/startup.cpp)

set(PRODUCT_SOURCES
  core/main.cpp
  services/uninstall_registration.cpp
  services/shell_folders.cpp
  services/tolerant_removal.cpp
  install/install.cpp
  uninstall/launcher.cpp
  uninstall/worker.cpp)

# Texts are written in UTF-8 and stored in the program as Windows-1250.
set(TEXT_FLAGS -finput-charset=UTF-8 -fexec-charset=CP1250)
set(WARNING_FLAGS -Wall -Wextra -Werror -Wshadow -Wconversion -Wno-sign-conversion)
