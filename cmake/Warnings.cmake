# Warnings for the project's own targets (not for GoogleTest). As errors
# only on request (the presets and CI): another compiler's new or false
# warning must not break a packager's plain build.
option(FERRUX_WERROR "Treat warnings as errors" OFF)
function(ferrux_set_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion)
  if(FERRUX_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
