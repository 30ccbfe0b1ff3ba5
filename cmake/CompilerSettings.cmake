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
