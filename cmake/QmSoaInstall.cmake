include(CMakePackageConfigHelpers)

install(TARGETS qmsoaclient EXPORT QmSoaClientTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# Public headers: every .hxx of the library folders except those under
# internal/ and the test hooks.
foreach(dir soa fcc platform)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${dir}/
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${dir}
    FILES_MATCHING PATTERN "*.hxx" PATTERN "*.h"
    PATTERN "internal" EXCLUDE)
endforeach()
if(EXISTS ${PROJECT_BINARY_DIR}/generated)
  install(DIRECTORY ${PROJECT_BINARY_DIR}/generated/
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
    FILES_MATCHING PATTERN "*.hxx" PATTERN "*.hh" PATTERN "*.h"
    PATTERN "internal" EXCLUDE)
endif()

install(EXPORT QmSoaClientTargets NAMESPACE QmSoaClient::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QmSoaClient)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QmSoaClientConfig.cmake.in
  ${PROJECT_BINARY_DIR}/QmSoaClientConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QmSoaClient)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QmSoaClientConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QmSoaClientConfig.cmake
  ${PROJECT_BINARY_DIR}/QmSoaClientConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QmSoaClient)

# The pkg-config file finds its prefix relative to itself, so the installed
# tree can be moved.
file(RELATIVE_PATH QMSOA_PC_TO_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
configure_file(${PROJECT_SOURCE_DIR}/cmake/qmsoaclient.pc.in
  ${PROJECT_BINARY_DIR}/qmsoaclient.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qmsoaclient.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
