# Warnings as errors for everything the project compiles itself.
add_library(kald_warnings INTERFACE)
target_compile_options(kald_warnings INTERFACE
    -Wall -Wextra -Wshadow -Werror
    $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>)
