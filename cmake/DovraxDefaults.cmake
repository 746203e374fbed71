# Warning flags and sanitizers shared by every target of the project.

function(dovrax_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
endfunction()

# An adapter library of ours (a shared library implementing mulvolib.h): built into
# lib/dovrax/ of the build tree and installed into the private ${DOVRAX_ADAPTER_LIBDIR}, where
# the loader looks for it. Never on the system's library path.
function(dovrax_adapter_library target)
  set_target_properties(${target} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${DOVRAX_ADAPTER_BUILD_DIR})
  install(TARGETS ${target} LIBRARY DESTINATION ${DOVRAX_ADAPTER_LIBDIR} NAMELINK_SKIP)
endfunction()

if(DOVRAX_SANITIZE)
  string(REPLACE ";" "," _dovrax_san "${DOVRAX_SANITIZE}")
  add_compile_options(-fsanitize=${_dovrax_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_dovrax_san})
endif()
