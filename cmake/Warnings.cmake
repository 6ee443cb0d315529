# Warnings as errors for the project's own targets (not for GoogleTest).
function(ferrux_set_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Werror)
endfunction()
