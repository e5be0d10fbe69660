# The provider's frame under Wine: registration through regsvr32, contexts
# through advapi32 against the simulator.
if(NOT TARGET CSP_VORN)
  return()
endif()
if(VORN_NATIVE_CARDSIM)
  set(_frame_cardsim "${VORN_NATIVE_CARDSIM}")
else()
  set(_frame_cardsim "${CMAKE_BINARY_DIR}/native/cardsim/vorn-cardsim")
endif()
set(_frame_stack "${CMAKE_SOURCE_DIR}/tools/with-vornenv")
set(_frame_wine "${CMAKE_SOURCE_DIR}/tools/wine-run")

add_executable(win_csp_register_test win_csp_register_test.cpp)
target_link_libraries(win_csp_register_test PRIVATE GTest::gtest_main advapi32)
vorn_warnings(win_csp_register_test)
add_custom_command(TARGET win_csp_register_test POST_BUILD
  COMMAND "${CMAKE_COMMAND}" -E copy_if_different $<TARGET_FILE:CSP_VORN> $<TARGET_FILE_DIR:win_csp_register_test>
  COMMAND "${CMAKE_COMMAND}" -E make_directory $<TARGET_FILE_DIR:win_csp_register_test>/nosig
  COMMAND "${CMAKE_COMMAND}" -E copy_if_different $<TARGET_FILE:CSP_VORN_nosig> $<TARGET_FILE_DIR:win_csp_register_test>/nosig/
  VERBATIM)
add_dependencies(win_csp_register_test CSP_VORN CSP_VORN_nosig vorn_wine_platform)
add_test(NAME csp.register COMMAND "${_frame_wine}" --isolated $<TARGET_FILE:win_csp_register_test>)
set_tests_properties(csp.register PROPERTIES TIMEOUT 300)
