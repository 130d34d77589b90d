# One test executable of the connector's transport, ews and frame tests:
# links qvamz_impl, sees test_support.hpp / scripted_server.hpp (this
# folder) and sandbox_fixture.hpp (tests/sandbox).  Tests that need the
# sandbox are compiled only when the ews-sandbox target exists
# (QV_SANDBOX_PATH defined).
function(qv_connector_tests name)
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT srcs)
    return()
  endif()
  add_executable(${name}_tests ${srcs})
  target_include_directories(${name}_tests PRIVATE
    ${CMAKE_CURRENT_SOURCE_DIR}/../transport ${CMAKE_CURRENT_SOURCE_DIR}/../sandbox)
  target_link_libraries(${name}_tests PRIVATE qvamz_impl qv_test_support LibXml2::LibXml2 ${CMAKE_DL_LIBS}
                        GTest::gtest_main GTest::gtest)
  target_compile_definitions(${name}_tests PRIVATE
    QV_TEST_DATA_DIR="${CMAKE_CURRENT_SOURCE_DIR}/../data"
    QV_SCHEMA_DIR="${QV_SCHEMA_DIR}"
    QV_BINARY_DIR="${PROJECT_BINARY_DIR}"
    QV_PLUGIN_PATH="$<TARGET_FILE:qvamz>")
  add_dependencies(${name}_tests qvamz)
  if(TARGET ews-sandbox)
    target_compile_definitions(${name}_tests PRIVATE
      QV_SANDBOX_PATH="$<TARGET_FILE:ews-sandbox>")
    add_dependencies(${name}_tests ews-sandbox)
    target_link_libraries(${name}_tests PRIVATE qvmigrate_core) # its SandboxServer starts the sandbox
  endif()
  gtest_discover_tests(${name}_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS ${name})
endfunction()
