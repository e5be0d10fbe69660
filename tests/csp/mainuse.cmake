# The provider's main use end to end: the card's certificate in "MY", crypt32
# loads VORN_CSP from it, the PIN dialog typed by the test, the card signs,
# OpenSSL and Wine's rsaenh verify (mainuse_test.sh, under Xvfb).
if(NOT TARGET CSP_VORN)
  return()
endif()
if(VORN_NATIVE_CARDSIM)
  set(_mainuse_cardsim "${VORN_NATIVE_CARDSIM}")
else()
  set(_mainuse_cardsim "${CMAKE_BINARY_DIR}/native/cardsim/vorn-cardsim")
endif()
add_executable(win_csp_mainuse_test win_csp_mainuse_test.cpp)
target_link_libraries(win_csp_mainuse_test PRIVATE csp_ui_driver GTest::gtest advapi32 crypt32)
vorn_warnings(win_csp_mainuse_test)
# regsvr32 registers the provider from the program's folder, where
# csp_dll_here (blobs.cmake) copies it on every build.
add_dependencies(win_csp_mainuse_test csp_dll_here vorn_wine_platform vorn_native_cardsim)
add_test(NAME csp.main_use
  COMMAND "${CMAKE_SOURCE_DIR}/tools/with-vornenv" --readers 1 --demo-card --
          bash "${CMAKE_CURRENT_SOURCE_DIR}/mainuse_test.sh" $<TARGET_FILE:win_csp_mainuse_test>)
set_tests_properties(csp.main_use PROPERTIES ENVIRONMENT "VORN_CARDSIM=${_mainuse_cardsim}" TIMEOUT 120)
