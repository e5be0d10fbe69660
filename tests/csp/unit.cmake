# The key, hash and cipher entry points called directly over a test double
# of the frame (no card), against Wine's rsaenh for the same key material.
if(TARGET vorn_csp_session AND TARGET vorn_cardlayer)
  add_executable(win_csp_keys_unit
    unit/keys_unit_test.cpp unit/frame_double.cpp
    "${CMAKE_SOURCE_DIR}/csp/src/hash.cpp" "${CMAKE_SOURCE_DIR}/csp/src/keys.cpp"
    "${CMAKE_SOURCE_DIR}/csp/src/crypt.cpp")
  # The provider's folders first: its cspdk.h, once there, wins over the
  # stand-in.
  target_include_directories(win_csp_keys_unit PRIVATE "${CMAKE_SOURCE_DIR}/csp/src" "${CMAKE_SOURCE_DIR}/csp"
                             "${CMAKE_CURRENT_SOURCE_DIR}/unit")
  target_link_libraries(win_csp_keys_unit PRIVATE vorn_csp_session vorn_cardlayer GTest::gtest_main advapi32 crypt32)
  vorn_warnings(win_csp_keys_unit)
  add_dependencies(win_csp_keys_unit vorn_wine_platform)
  add_test(NAME csp.keys_unit COMMAND "${CMAKE_SOURCE_DIR}/tools/wine-run" --isolated $<TARGET_FILE:win_csp_keys_unit>)
  set_tests_properties(csp.keys_unit PROPERTIES TIMEOUT 300)
endif()
