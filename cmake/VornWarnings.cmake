# Warnings for the project's own targets. Call vorn_warnings(target) on every
# library, program and test we build from our own sources.
function(vorn_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4)
    if(VORN_WERROR)
      target_compile_options(${target} PRIVATE /WX)
    endif()
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wformat=2
      -Wcast-align -Wpointer-arith -Wundef -Wvla $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>)
    if(VORN_WERROR)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
  endif()
endfunction()
