include(CMakePackageConfigHelpers)

install(TARGETS qmsoaclient EXPORT QmSoaClientTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# What an application cannot use: the implementation's own folders, the
# library's stand-ins for its platform, and the headers of classes and
# functions that the library does not export. The rule names the private
# paths (relative to the source tree or to the tree generated at build time);
# every other header of soa/, fcc/ and platform/, and every generated one, is
# public. An "internal" folder is not private as such: the internal services'
# interfaces are public.
set(QMSOA_PRIVATE_HEADERS
  "^platform/"
  "^fcc/(.+/)?internal/"
  "^soa/common/internal/"
  "^soa/client/(model/)?internal/"
  "^soa/client/(Http|Iiop)RestSender[.]hxx$"
  "^soa/client/model/factories/ObjectFactories[.]hxx$")
install(CODE "
  set(QMSOA_SOURCE_DIR \"${PROJECT_SOURCE_DIR}\")
  set(QMSOA_GENERATED_DIR \"${PROJECT_BINARY_DIR}/generated\")
  set(QMSOA_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(QMSOA_PRIVATE_HEADERS \"${QMSOA_PRIVATE_HEADERS}\")
  include(\"${PROJECT_SOURCE_DIR}/cmake/QmSoaInstallHeaders.cmake\")")

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
