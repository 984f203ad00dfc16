# Warnings are errors in our own code. Third-party code (GoogleTest built from
# source for the Windows executables) does not get these flags.
#
# Under clang the thread-safety analysis runs too (-Wthread-safety): the
# capability annotations of platform/thread_annotations.h are checked, and a
# guarded field touched without its lock fails the build. The fuzz preset is
# the clang build ./test.sh runs.
function(sio_set_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX /permissive-)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror)
  endif()
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    target_compile_options(${target} PRIVATE -Wthread-safety)
  endif()
endfunction()
