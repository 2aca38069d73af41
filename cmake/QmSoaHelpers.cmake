# qmsoa_add_objects(<name> [RECURSE] [SOURCES ...] [LIBRARIES ...])
# Builds one folder of the library as an OBJECT library. Without SOURCES the
# folder's *.cxx files are taken (with RECURSE, those of its subfolders too).
# A folder without sources adds nothing.
function(qmsoa_add_objects name)
  cmake_parse_arguments(ARG "RECURSE" "" "SOURCES;LIBRARIES" ${ARGN})
  if(NOT ARG_SOURCES)
    if(ARG_RECURSE)
      file(GLOB_RECURSE ARG_SOURCES CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cxx")
    else()
      file(GLOB ARG_SOURCES CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cxx")
    endif()
  endif()
  if(NOT ARG_SOURCES)
    return()
  endif()
  add_library(${name} OBJECT ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
    $<BUILD_INTERFACE:${PROJECT_BINARY_DIR}/generated>)
  target_compile_definitions(${name} PRIVATE QMSOA_BUILDING_LIBRARY)
  target_link_libraries(${name} PUBLIC XercesC::XercesC ${ARG_LIBRARIES})
  # The wire types' headers are generated (soa/schemas): nearly every folder
  # includes them.
  add_dependencies(${name} qmsoa_wire_types)
  set(QMSOA_OBJECT_LIBRARIES ${QMSOA_OBJECT_LIBRARIES} ${name} CACHE INTERNAL "")
endfunction()

# Links the shared library (what applications use) and a static archive of
# the same objects (what the unit tests use, so that they can reach the
# internal classes that the shared library does not export).
function(qmsoa_assemble_library)
  set(objects "")
  set(libs "")
  foreach(lib IN LISTS QMSOA_OBJECT_LIBRARIES)
    list(APPEND objects $<TARGET_OBJECTS:${lib}>)
    get_target_property(deps ${lib} INTERFACE_LINK_LIBRARIES)
    if(deps)
      list(APPEND libs ${deps})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES libs)

  add_library(qmsoaclient SHARED ${objects})
  add_library(QmSoaClient::qmsoaclient ALIAS qmsoaclient)
  set_target_properties(qmsoaclient PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
    EXPORT_NAME qmsoaclient)
  # clang's sanitizer runtimes (the fuzz build) are linked into programs only.
  if(NOT QMSOA_FUZZ)
    target_link_options(qmsoaclient PRIVATE -Wl,--no-undefined)
  endif()
  target_link_libraries(qmsoaclient PRIVATE ${libs} Threads::Threads ${CMAKE_DL_LIBS})
  target_include_directories(qmsoaclient INTERFACE
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
    $<BUILD_INTERFACE:${PROJECT_BINARY_DIR}/generated>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  # Public headers include Xerces-C types, and the gateway header omniORB's.
  target_link_libraries(qmsoaclient PUBLIC XercesC::XercesC PkgConfig::OMNIORB)

  add_library(qmsoaclient_static STATIC EXCLUDE_FROM_ALL ${objects})
  target_link_libraries(qmsoaclient_static PUBLIC ${libs} Threads::Threads ${CMAKE_DL_LIBS})
  target_include_directories(qmsoaclient_static PUBLIC
    ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}/generated)
endfunction()

# qmsoa_generator_outputs(<var> <script> <out-dir> <arguments>...)
# Asks a generator of tools/ which files it writes (its --list option) and
# sets <var> to their paths under <out-dir>. A generator that refuses its
# input stops the configuration with its message.
function(qmsoa_generator_outputs var script outdir)
  execute_process(
    COMMAND ${Python3_EXECUTABLE} ${script} ${ARGN} --list
    OUTPUT_VARIABLE files
    ERROR_VARIABLE error
    RESULT_VARIABLE result
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${script} refused its input:\n${error}")
  endif()
  string(REPLACE "\n" ";" files "${files}")
  list(TRANSFORM files PREPEND ${outdir}/)
  set(${var} ${files} PARENT_SCOPE)
endfunction()

# qmsoa_generate(<target> <script> <out-dir> OUTPUTS <var> TABLES <file>...
#                [ARGS <argument>...] COMMENT <text>)
# Runs a generator of tools/ at build time with ARGS and --out <out-dir>,
# behind the custom target <target>, and sets <var> to the files it writes.
# A change of a table or of a script of tools/ reruns the generator, and the
# configuration too: the list of files follows from them.
function(qmsoa_generate target script outdir)
  cmake_parse_arguments(ARG "" "OUTPUTS;COMMENT" "TABLES;ARGS" ${ARGN})
  file(GLOB helpers ${PROJECT_SOURCE_DIR}/tools/gen_*.py)
  file(MAKE_DIRECTORY ${outdir})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${helpers} ${ARG_TABLES})
  qmsoa_generator_outputs(files ${script} ${outdir} ${ARG_ARGS})
  set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${target}.stamp)
  add_custom_command(
    OUTPUT ${stamp} ${files}
    COMMAND ${Python3_EXECUTABLE} ${script} ${ARG_ARGS} --out ${outdir} --stamp ${stamp}
    DEPENDS ${helpers} ${ARG_TABLES}
    COMMENT "${ARG_COMMENT}"
    VERBATIM)
  add_custom_target(${target} DEPENDS ${stamp})
  set(${ARG_OUTPUTS} ${files} PARENT_SCOPE)
endfunction()
