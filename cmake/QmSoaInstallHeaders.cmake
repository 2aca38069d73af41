# Installs the public headers. Runs at install time, when the headers that
# the build generates exist too. Expects QMSOA_SOURCE_DIR, QMSOA_GENERATED_DIR,
# QMSOA_INCLUDEDIR (relative to the prefix) and QMSOA_PRIVATE_HEADERS.
#
# A header is public unless its path, relative to the source tree or to the
# generated tree, matches one of QMSOA_PRIVATE_HEADERS.

function(qmsoa_install_headers root)
  file(GLOB_RECURSE headers LIST_DIRECTORIES false RELATIVE "${root}" ${ARGN})
  list(SORT headers)
  foreach(header IN LISTS headers)
    set(private FALSE)
    foreach(pattern IN LISTS QMSOA_PRIVATE_HEADERS)
      if(header MATCHES "${pattern}")
        set(private TRUE)
        break()
      endif()
    endforeach()
    if(NOT private)
      get_filename_component(folder "${header}" DIRECTORY)
      file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${QMSOA_INCLUDEDIR}/${folder}"
        TYPE FILE FILES "${root}/${header}")
    endif()
  endforeach()
endfunction()

set(suffixes hxx hh h)
set(source_globs "")
foreach(folder IN ITEMS soa fcc platform)
  foreach(suffix IN LISTS suffixes)
    list(APPEND source_globs "${QMSOA_SOURCE_DIR}/${folder}/*.${suffix}")
  endforeach()
endforeach()
qmsoa_install_headers("${QMSOA_SOURCE_DIR}" ${source_globs})

if(EXISTS "${QMSOA_GENERATED_DIR}")
  set(generated_globs "")
  foreach(suffix IN LISTS suffixes)
    list(APPEND generated_globs "${QMSOA_GENERATED_DIR}/*.${suffix}")
  endforeach()
  qmsoa_install_headers("${QMSOA_GENERATED_DIR}" ${generated_globs})
endif()
