# The provider's hash objects, keys, signatures and ciphers through Wine's
# advapi32 against the demo card, with Wine's rsaenh and OpenSSL's libcrypto
# as the references.
find_package(OpenSSL QUIET COMPONENTS Crypto)
if(TARGET CSP_VORN AND OpenSSL_FOUND AND COMMAND vorn_wine_stack_test)
  add_executable(win_csp_keys_test win_csp_keys_test.cpp)
  target_link_libraries(win_csp_keys_test PRIVATE GTest::gtest_main advapi32 crypt32 OpenSSL::Crypto)
  vorn_warnings(win_csp_keys_test)
  # The test registers the provider from its own folder.
  add_custom_command(TARGET win_csp_keys_test POST_BUILD
    COMMAND "${CMAKE_COMMAND}" -E copy_if_different $<TARGET_FILE:CSP_VORN> $<TARGET_FILE_DIR:win_csp_keys_test>)
  add_dependencies(win_csp_keys_test CSP_VORN)
  vorn_wine_stack_test(csp.keys win_csp_keys_test --demo-card)
endif()
