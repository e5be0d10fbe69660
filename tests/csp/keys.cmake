# The provider's hash objects, keys, signatures and ciphers through Wine's
# advapi32 against the demo card, with Wine's rsaenh and OpenSSL's libcrypto
# as the references. csp.keys_dialog types the PIN into the provider's
# dialog on a private X server.
find_package(OpenSSL QUIET COMPONENTS Crypto)
# (tests/csp is configured before tests/windows, so the stack's pieces are
# named here rather than taken from WindowsPlatform.cmake.)
if(TARGET CSP_VORN AND OpenSSL_FOUND)
  if(VORN_NATIVE_CARDSIM)
    set(_keys_cardsim "${VORN_NATIVE_CARDSIM}")
  else()
    set(_keys_cardsim "${CMAKE_BINARY_DIR}/native/cardsim/vorn-cardsim")
  endif()
  set(_keys_stack "${CMAKE_SOURCE_DIR}/tools/with-vornenv")
  set(_keys_wine "${CMAKE_SOURCE_DIR}/tools/wine-run")
  add_executable(win_csp_keys_test win_csp_keys_test.cpp)
  target_link_libraries(win_csp_keys_test PRIVATE csp_ui_driver GTest::gtest_main advapi32 crypt32 OpenSSL::Crypto)
  vorn_warnings(win_csp_keys_test)
  # The test registers the provider from its own folder.
  add_custom_command(TARGET win_csp_keys_test POST_BUILD
    COMMAND "${CMAKE_COMMAND}" -E copy_if_different $<TARGET_FILE:CSP_VORN> $<TARGET_FILE_DIR:win_csp_keys_test>)
  add_dependencies(win_csp_keys_test CSP_VORN vorn_wine_platform vorn_native_cardsim)
  add_test(NAME csp.keys
    COMMAND "${_keys_stack}" --demo-card -- "${_keys_wine}" --isolated
            $<TARGET_FILE:win_csp_keys_test> --gtest_filter=-CardDialog.*)
  add_test(NAME csp.keys_dialog
    COMMAND "${_keys_stack}" --demo-card -- "${_keys_wine}" --isolated --xvfb
            $<TARGET_FILE:win_csp_keys_test> --gtest_filter=CardDialog.*)
  set_tests_properties(csp.keys csp.keys_dialog PROPERTIES ENVIRONMENT "VORN_CARDSIM=${_keys_cardsim}" TIMEOUT 300)
endif()
