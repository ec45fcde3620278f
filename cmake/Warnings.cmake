# The system's own code: warnings on, no run-time type information.
function(palvex_strict target)
  target_compile_options(${target} PRIVATE -Wall -Wextra $<$<COMPILE_LANGUAGE:CXX>:-fno-rtti>)
endfunction()

# Programs find the engine through a RUNPATH, so LD_LIBRARY_PATH can point a run at another build.
function(palvex_program target)
  palvex_strict(${target})
  set_target_properties(${target} PROPERTIES
    BUILD_RPATH "$ORIGIN/../lib"
    INSTALL_RPATH "$ORIGIN/../lib"
    SKIP_BUILD_RPATH OFF
    BUILD_WITH_INSTALL_RPATH ON)
  target_link_options(${target} PRIVATE -Wl,--enable-new-dtags)
  target_link_libraries(${target} PRIVATE palvex_flush_to_zero)
endfunction()
