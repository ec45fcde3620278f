# PALVEX_SANITIZE: a comma-separated list for -fsanitize= (address,undefined | thread | realtime).
set(PALVEX_SANITIZE "" CACHE STRING "Sanitizers to build everything with")
if(PALVEX_SANITIZE)
  add_compile_options(-fsanitize=${PALVEX_SANITIZE} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${PALVEX_SANITIZE})
  if(PALVEX_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()
