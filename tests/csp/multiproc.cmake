# Two processes of one Windows program sign with one container of the demo
# card at once, in one isolated prefix (one wineserver: they share the
# provider's card state table).
find_package(OpenSSL QUIET COMPONENTS Crypto)
if(NOT TARGET CSP_VORN OR NOT OpenSSL_FOUND)
  return()
endif()
if(VORN_NATIVE_CARDSIM)
  set(_multi_cardsim "${VORN_NATIVE_CARDSIM}")
else()
  set(_multi_cardsim "${CMAKE_BINARY_DIR}/native/cardsim/vorn-cardsim")
endif()
add_executable(win_csp_multiproc_test win_csp_multiproc_test.cpp)
target_link_libraries(win_csp_multiproc_test PRIVATE GTest::gtest advapi32 OpenSSL::Crypto)
vorn_warnings(win_csp_multiproc_test)
# The test registers the provider from its own folder (csp_dll_here, blobs.cmake).
add_dependencies(win_csp_multiproc_test csp_dll_here vorn_wine_platform vorn_native_cardsim)
add_test(NAME csp.two_processes
  COMMAND "${CMAKE_SOURCE_DIR}/tools/with-vornenv" --readers 1 --demo-card --
          "${CMAKE_SOURCE_DIR}/tools/wine-run" --isolated $<TARGET_FILE:win_csp_multiproc_test>)
set_tests_properties(csp.two_processes PROPERTIES ENVIRONMENT "VORN_CARDSIM=${_multi_cardsim}" TIMEOUT 120)
