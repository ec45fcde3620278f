# The real-time contract (host_core/realtime.h) is checked by every clang that knows it: a
# real-time function that could allocate, lock or block does not build.
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 20)
  add_compile_options(-Wfunction-effects -Werror=function-effects)
endif()

# The system's own code: warnings on, no run-time type information.
function(palvex_strict target)
  target_compile_options(${target} PRIVATE -Wall -Wextra $<$<COMPILE_LANGUAGE:CXX>:-fno-rtti>)
endfunction()

# Programs find the engine through a RUNPATH, so LD_LIBRARY_PATH can point a run at another build.
# In the build tree that is lib/ beside bin/; installed, the library folder seen from the
# program folder, wherever the prefix is.
function(palvex_program target)
  palvex_strict(${target})
  file(RELATIVE_PATH lib_from_bin ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set(same_layout OFF)
  if(lib_from_bin STREQUAL "../lib")
    set(same_layout ON)  # no RUNPATH to rewrite at install
  endif()
  set_target_properties(${target} PROPERTIES
    BUILD_RPATH "$ORIGIN/../lib"
    INSTALL_RPATH "$ORIGIN/${lib_from_bin}"
    BUILD_RPATH_USE_ORIGIN ON
    SKIP_BUILD_RPATH OFF
    BUILD_WITH_INSTALL_RPATH ${same_layout})
  target_link_options(${target} PRIVATE -Wl,--enable-new-dtags)
  target_link_libraries(${target} PRIVATE palvex_flush_to_zero)
endfunction()
