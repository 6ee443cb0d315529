# FERRUX_SANITIZE: "address,undefined" or "thread"; applies to everything
# built, GoogleTest included, so that instrumented code links consistently.
set(FERRUX_SANITIZE "" CACHE STRING "Sanitizers to build with")
if(FERRUX_SANITIZE)
  add_compile_options(-fsanitize=${FERRUX_SANITIZE} -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${FERRUX_SANITIZE})
  # The standard library's index checks too, as distributions build with
  # them: an access past the end aborts there.
  add_compile_definitions(_GLIBCXX_ASSERTIONS)
endif()

# FERRUX_FUZZ: everything is instrumented for libFuzzer (clang only); the
# fuzz targets of tests/fuzz link its driver.
option(FERRUX_FUZZ "Build the libFuzzer targets" OFF)
if(FERRUX_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
