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

# The provider next to the test programs (where their registration finds
# it), refreshed whenever it is rebuilt; nosig\ holds the image without
# resource 666.
set(_frame_dir "${CMAKE_CURRENT_BINARY_DIR}")
add_custom_command(OUTPUT "${_frame_dir}/frame-dlls.stamp"
  COMMAND "${CMAKE_COMMAND}" -E copy $<TARGET_FILE:CSP_VORN> "${_frame_dir}/CSP_VORN.dll"
  COMMAND "${CMAKE_COMMAND}" -E make_directory "${_frame_dir}/nosig"
  COMMAND "${CMAKE_COMMAND}" -E copy $<TARGET_FILE:CSP_VORN_nosig> "${_frame_dir}/nosig/CSP_VORN.dll"
  COMMAND "${CMAKE_COMMAND}" -E touch "${_frame_dir}/frame-dlls.stamp"
  DEPENDS CSP_VORN CSP_VORN_nosig $<TARGET_FILE:CSP_VORN> $<TARGET_FILE:CSP_VORN_nosig>
  VERBATIM)
add_custom_target(csp_frame_dlls ALL DEPENDS "${_frame_dir}/frame-dlls.stamp")

add_executable(win_csp_register_test win_csp_register_test.cpp)
target_link_libraries(win_csp_register_test PRIVATE GTest::gtest_main advapi32)
vorn_warnings(win_csp_register_test)
add_dependencies(win_csp_register_test csp_frame_dlls vorn_wine_platform)
add_test(NAME csp.register COMMAND "${_frame_wine}" --isolated $<TARGET_FILE:win_csp_register_test>)
set_tests_properties(csp.register PROPERTIES TIMEOUT 300)

add_executable(win_csp_context_test win_csp_context_test.cpp)
target_link_libraries(win_csp_context_test PRIVATE csp_ui_driver GTest::gtest advapi32)
vorn_warnings(win_csp_context_test)
add_dependencies(win_csp_context_test csp_frame_dlls vorn_wine_platform vorn_native_cardsim)
# name | stack options | wine-run options | suites
set(_frame_runs
  "acquire|--readers 1 --demo-card|--isolated|Acquire.*"
  "newkeyset|--readers 1 --demo-card|--isolated --xvfb|NewKeyset.*"
  "two_readers|--readers 2 --demo-card --demo-card|--isolated --xvfb|TwoReaders.*")
foreach(_run IN LISTS _frame_runs)
  string(REPLACE "|" ";" _f "${_run}")
  list(GET _f 0 _name)
  list(GET _f 1 _stack)
  list(GET _f 2 _wine)
  list(GET _f 3 _suites)
  separate_arguments(_stack)
  separate_arguments(_wine)
  add_test(NAME csp.${_name}
    COMMAND "${_frame_stack}" ${_stack} -- "${_frame_wine}" ${_wine} $<TARGET_FILE:win_csp_context_test>
            --gtest_filter=${_suites})
  set_tests_properties(csp.${_name} PROPERTIES ENVIRONMENT "VORN_CARDSIM=${_frame_cardsim}" TIMEOUT 300)
endforeach()

# Card removal with a context open: Wine's default version (6.1, nobody
# watches the reader) and Windows XP x64 (5.2, the watch thread).
foreach(_v default winxp64)
  add_test(NAME csp.removal_${_v}
    COMMAND "${_frame_stack}" --readers 1 --demo-card --
            bash "${CMAKE_CURRENT_SOURCE_DIR}/removal_test.sh" $<TARGET_FILE:win_csp_context_test> ${_v})
  set_tests_properties(csp.removal_${_v} PROPERTIES ENVIRONMENT "VORN_CARDSIM=${_frame_cardsim}" TIMEOUT 300)
endforeach()
