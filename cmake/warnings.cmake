# Warnings are errors in our own code. Third-party code (GoogleTest built from
# source for the Windows executables) does not get these flags.
function(sio_set_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX /permissive-)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror)
  endif()
endfunction()
