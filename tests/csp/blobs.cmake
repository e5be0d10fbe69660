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
vorn_wine_stack_test(csp.blobs csp_blobs_test --readers 1 --demo-card)
vorn_wine_stack_test(csp.params csp_params_test --readers 1 --demo-card)
