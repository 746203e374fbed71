# Warning flags and sanitizers shared by every target of the project.

function(dovrax_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
endfunction()

if(DOVRAX_SANITIZE)
  string(REPLACE ";" "," _dovrax_san "${DOVRAX_SANITIZE}")
  add_compile_options(-fsanitize=${_dovrax_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_dovrax_san})
endif()
