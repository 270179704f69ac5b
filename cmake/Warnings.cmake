# Warnings are errors for our own code; generated and third-party code is compiled without them.
function(bv_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /wd4100)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wno-unused-parameter)
  endif()
endfunction()
