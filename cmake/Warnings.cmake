# Warnings are errors for our own code; generated and third-party code is compiled without them.
function(bv_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wno-unused-parameter)
endfunction()
