# Warnings for the project's own targets: everything on, and warnings are errors.
function(tamblo_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()
