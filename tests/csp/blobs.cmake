# Key blobs and provider parameters of CSP_VORN through Wine's advapi32 and
# crypt32, with Wine's rsaenh as the other side.

# The blob layouts and the RFC 3217 wrap against rsaenh, without provider
# or card.
add_executable(csp_blobcore_test blobcore_test.cpp)
target_link_libraries(csp_blobcore_test PRIVATE vorn_csp_blobcore GTest::gtest_main advapi32)
vorn_warnings(csp_blobcore_test)
add_dependencies(csp_blobcore_test vorn_wine_platform)
add_test(NAME csp.blobcore COMMAND "${CMAKE_SOURCE_DIR}/tools/wine-run" --isolated $<TARGET_FILE:csp_blobcore_test>)
set_tests_properties(csp.blobcore PROPERTIES TIMEOUT 300)

if(NOT TARGET CSP_VORN)
  return()
endif()
# The provider's programs, each against its own stack with a fresh demo
# card (as vorn_wine_stack_test of tests/windows, which is read after this
# folder).
if(VORN_NATIVE_CARDSIM)
  set(_csp_cardsim "${VORN_NATIVE_CARDSIM}")
else()
  set(_csp_cardsim "${CMAKE_BINARY_DIR}/native/cardsim/vorn-cardsim")
endif()
# The provider next to the programs, where their registration finds it;
# copied on every build so a rebuilt DLL is never left behind.
add_custom_target(csp_dll_here ALL
  COMMAND "${CMAKE_COMMAND}" -E copy_if_different $<TARGET_FILE:CSP_VORN> "${CMAKE_CURRENT_BINARY_DIR}"
  DEPENDS CSP_VORN VERBATIM)
foreach(_t blobs params)
  add_executable(csp_${_t}_test ${_t}_test.cpp)
  target_link_libraries(csp_${_t}_test PRIVATE GTest::gtest_main advapi32 crypt32)
  vorn_warnings(csp_${_t}_test)
  add_dependencies(csp_${_t}_test csp_dll_here vorn_wine_platform vorn_native_cardsim)
  add_test(NAME csp.${_t}
    COMMAND "${CMAKE_SOURCE_DIR}/tools/with-vornenv" --readers 1 --demo-card --
            "${CMAKE_SOURCE_DIR}/tools/wine-run" --isolated $<TARGET_FILE:csp_${_t}_test>)
  set_tests_properties(csp.${_t} PROPERTIES ENVIRONMENT "VORN_CARDSIM=${_csp_cardsim}" TIMEOUT 300)
endforeach()
