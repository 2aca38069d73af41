# The loopback HTTP server of the tests, without GoogleTest: the example's
# embedded service and the benchmarks run on it too.
add_library(qmsoa_loopback STATIC ${PROJECT_SOURCE_DIR}/tests/support/LoopbackHttpServer.cxx)
target_include_directories(qmsoa_loopback PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(qmsoa_loopback PUBLIC Threads::Threads)
# With OpenSSL's development files it answers over TLS inside a CONNECT
# tunnel, and makes the throwaway certificates of the tests' TLS servers.
find_package(OpenSSL 3)
if(OpenSSL_FOUND)
  target_link_libraries(qmsoa_loopback PRIVATE OpenSSL::SSL OpenSSL::Crypto)
  target_compile_definitions(qmsoa_loopback PRIVATE QMSOA_TEST_TLS)
else()
  message(STATUS "OpenSSL development files not found: the TLS cases of the tests are skipped")
endif()


# The loopback PLM service: built into each program that uses it, against
# whichever form of the library that program links.
add_library(qmsoa_loopback_service INTERFACE)
target_sources(qmsoa_loopback_service INTERFACE
  ${PROJECT_SOURCE_DIR}/tests/support/LoopbackPlmService.cxx)
target_link_libraries(qmsoa_loopback_service INTERFACE qmsoa_loopback)

# The same service as a program on its own, for a first application to talk
# to (see the README). A test double: installed nowhere.
add_executable(qmsoa_loopback_plm ${PROJECT_SOURCE_DIR}/tests/support/loopback_plm/main.cxx)
target_link_libraries(qmsoa_loopback_plm PRIVATE qmsoa_loopback_service qmsoaclient)
