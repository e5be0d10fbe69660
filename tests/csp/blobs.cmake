# Key blobs and provider parameters of CSP_VORN through Wine's advapi32 and
# crypt32 (rsaenh as the other side), each program against its own stack
# with a fresh demo card.
foreach(_t csp_blobs_test csp_params_test)
  string(REPLACE "csp_" "" _src "${_t}")
  add_executable(${_t} ${_src}.cpp)
  target_link_libraries(${_t} PRIVATE GTest::gtest_main advapi32 crypt32)
  vorn_warnings(${_t})
  # The provider next to the program, where its registration finds it.
  add_custom_command(TARGET ${_t} POST_BUILD
    COMMAND "${CMAKE_COMMAND}" -E copy_if_different $<TARGET_FILE:CSP_VORN> $<TARGET_FILE_DIR:${_t}>
    VERBATIM)
  add_dependencies(${_t} CSP_VORN)
endforeach()
# As vorn_wine_stack_test of tests/windows, which is read after this folder.
if(VORN_NATIVE_CARDSIM)
  set(_csp_cardsim "${VORN_NATIVE_CARDSIM}")
else()
  set(_csp_cardsim "${CMAKE_BINARY_DIR}/native/cardsim/vorn-cardsim")
endif()
foreach(_t blobs params)
  add_test(NAME csp.${_t}
    COMMAND "${CMAKE_SOURCE_DIR}/tools/with-vornenv" --readers 1 --demo-card --
            "${CMAKE_SOURCE_DIR}/tools/wine-run" --isolated $<TARGET_FILE:csp_${_t}_test>)
  set_tests_properties(csp.${_t} PROPERTIES ENVIRONMENT "VORN_CARDSIM=${_csp_cardsim}" TIMEOUT 300)
  add_dependencies(csp_${_t}_test vorn_wine_platform vorn_native_cardsim)
endforeach()
