# Warnings and sanitizers for every target of the project.
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
                      $<$<COMPILE_LANGUAGE:CXX>:-Woverloaded-virtual>)
  if(AVI_WERROR)
    add_compile_options(-Werror)
  endif()
  if(AVI_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
  endif()
endif()

# The fuzz build: every library carries libFuzzer's coverage hooks and both
# sanitizers; only the fuzz targets link libFuzzer itself (fuzz/CMakeLists.txt).
# The sanitizer runtime is the shared one, so that the shared libraries of the
# project link on their own (they are linked with --no-undefined).
if(AVI_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "AVI_FUZZ needs clang (configure with CC=clang CXX=clang++)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined
                      -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -shared-libasan)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libclang_rt.asan-x86_64.so
                  OUTPUT_VARIABLE AVI_ASAN_RUNTIME OUTPUT_STRIP_TRAILING_WHITESPACE)
  get_filename_component(AVI_SANITIZER_RUNTIME_DIR "${AVI_ASAN_RUNTIME}" DIRECTORY)
  list(APPEND CMAKE_BUILD_RPATH "${AVI_SANITIZER_RUNTIME_DIR}")
endif()
