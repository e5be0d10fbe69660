# Windows build only (included from CMakeLists.txt).

# ---- the winscard bridge and the prefix (host tools) ----
find_program(VORN_WINEGCC NAMES winegcc winegcc-stable HINTS /usr/lib/wine REQUIRED)
find_program(VORN_HOST_CC NAMES gcc cc REQUIRED)
find_path(VORN_HOST_PCSC_INCLUDE winscard.h PATHS /usr/include/PCSC NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(VORN_WINE_DIR "${CMAKE_BINARY_DIR}/wine")
set(VORN_BRIDGE_SO "${VORN_WINE_DIR}/winscard.dll.so")
set(_bridge_sources
  "${VORN_BRIDGE_DIR}/bridge.c" "${VORN_BRIDGE_DIR}/convert.c" "${VORN_BRIDGE_DIR}/winscard.spec")
set(_bridge_headers "${VORN_BRIDGE_DIR}/convert.h" "${VORN_BRIDGE_DIR}/pcsc_abi.h")

# The bridge's pcsc-lite records must match the installed headers.
add_custom_command(OUTPUT "${VORN_WINE_DIR}/layout.ok"
  COMMAND "${CMAKE_COMMAND}" -E make_directory "${VORN_WINE_DIR}"
  COMMAND "${VORN_HOST_CC}" -fsyntax-only -std=c11 -Wall -Wextra -Werror
          -I "${VORN_HOST_PCSC_INCLUDE}" -I "${VORN_BRIDGE_DIR}" "${VORN_BRIDGE_DIR}/layout_check.c"
  COMMAND "${CMAKE_COMMAND}" -E touch "${VORN_WINE_DIR}/layout.ok"
  DEPENDS "${VORN_BRIDGE_DIR}/layout_check.c" "${VORN_BRIDGE_DIR}/pcsc_abi.h"
  COMMENT "Checking the winscard bridge's pcsc-lite layouts" VERBATIM)

add_custom_command(OUTPUT "${VORN_BRIDGE_SO}"
  COMMAND "${VORN_WINEGCC}" -shared -O2 -std=gnu11 -Wall -Wextra -Werror -I "${VORN_BRIDGE_DIR}"
          -o "${VORN_BRIDGE_SO}" ${_bridge_sources} -ldl -lpthread -ladvapi32
  DEPENDS ${_bridge_sources} ${_bridge_headers} "${VORN_WINE_DIR}/layout.ok"
  COMMENT "Building the winscard bridge (Winelib)" VERBATIM)

add_custom_command(OUTPUT "${VORN_WINE_DIR}/prefix.ok"
  COMMAND bash "${CMAKE_SOURCE_DIR}/tools/wine-prefix" "${VORN_WINE_DIR}/prefix" "${VORN_BRIDGE_SO}"
  COMMAND "${CMAKE_COMMAND}" -E touch "${VORN_WINE_DIR}/prefix.ok"
  DEPENDS "${VORN_BRIDGE_SO}" "${CMAKE_SOURCE_DIR}/tools/wine-prefix"
  COMMENT "Wine prefix with the winscard bridge" VERBATIM)
add_custom_target(vorn_wine_platform ALL DEPENDS "${VORN_WINE_DIR}/prefix.ok")

# ---- the simulator, built for the host ----
set(VORN_NATIVE_CARDSIM "" CACHE FILEPATH "A native vorn-cardsim to use instead of building one")
if(VORN_NATIVE_CARDSIM)
  set(_cardsim "${VORN_NATIVE_CARDSIM}")
  add_custom_target(vorn_native_cardsim)
elseif(NOT EXISTS "${CMAKE_SOURCE_DIR}/cardsim/CMakeLists.txt")
  message(STATUS "No simulator in this tree: the Windows stack tests are left out")
  return()
else()
  include(ExternalProject)
  set(_native "${CMAKE_BINARY_DIR}/native")
  set(_cardsim "${_native}/cardsim/vorn-cardsim")
  ExternalProject_Add(vorn_native_cardsim
    SOURCE_DIR "${CMAKE_SOURCE_DIR}"
    BINARY_DIR "${_native}"
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DVORN_BUILD_TESTS=OFF -DVORN_BUILD_BENCH=OFF
               -DVORN_BUILD_FUZZ=OFF "-DVORN_PERSONALISATION=${VORN_PERSONALISATION}"
    BUILD_COMMAND "${CMAKE_COMMAND}" --build "${_native}" --target vorn-cardsim
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS "${_cardsim}"
    INSTALL_COMMAND ""
    STEP_TARGETS build)
endif()

set(VORN_WITH_STACK "${CMAKE_SOURCE_DIR}/tools/with-vornenv")
set(VORN_WINE_RUN "${CMAKE_SOURCE_DIR}/tools/wine-run")

# vorn_wine_stack_test(NAME TARGET [STACK_ARGS...]): runs the Windows program
# under Wine, in a prefix of its own, against a private PC/SC stack.
function(vorn_wine_stack_test name target)
  add_test(NAME ${name}
    COMMAND "${VORN_WITH_STACK}" ${ARGN} -- "${VORN_WINE_RUN}" --isolated $<TARGET_FILE:${target}>)
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "VORN_CARDSIM=${_cardsim}" TIMEOUT 300)
  add_dependencies(${target} vorn_wine_platform vorn_native_cardsim)
endfunction()

# ---- Windows programs ----
add_executable(win_winscard_test win_winscard_test.cpp)
target_link_libraries(win_winscard_test PRIVATE GTest::gtest_main winscard)
vorn_warnings(win_winscard_test)
vorn_wine_stack_test(windows.winscard_bridge win_winscard_test --readers 2 --demo-card)

# The card state table of one image, shared by two processes.
add_library(win_table_probe SHARED win_table_probe.cpp)
target_compile_definitions(win_table_probe PRIVATE VORN_TABLE_PROBE_BUILD)
target_link_libraries(win_table_probe PRIVATE vorn_cardlayer)
set_target_properties(win_table_probe PROPERTIES PREFIX "")
vorn_warnings(win_table_probe)
add_executable(win_table_test win_table_test.cpp)
target_link_libraries(win_table_test PRIVATE win_table_probe vorn_cardlayer GTest::gtest)
vorn_warnings(win_table_test)
vorn_wine_stack_test(windows.shared_card_table win_table_test --readers 1 --demo-card)

# PKCS11_VORN.dll from Windows programs.
if(TARGET PKCS11_VORN)
  foreach(_t win_pkcs11_test win_p11_mutex_test)
    add_executable(${_t} ${_t}.cpp)
    target_include_directories(${_t} PRIVATE "${CMAKE_SOURCE_DIR}/pkcs11")
    target_link_libraries(${_t} PRIVATE GTest::gtest)
    vorn_warnings(${_t})
    # The module next to the program, where LoadLibrary finds it.
    add_custom_command(TARGET ${_t} POST_BUILD
      COMMAND "${CMAKE_COMMAND}" -E copy_if_different $<TARGET_FILE:PKCS11_VORN> $<TARGET_FILE_DIR:${_t}>
      VERBATIM)
    add_dependencies(${_t} PKCS11_VORN)
  endforeach()
  target_link_libraries(win_pkcs11_test PRIVATE GTest::gtest_main)
  vorn_wine_stack_test(windows.pkcs11_sign win_pkcs11_test --readers 1 --demo-card)
  vorn_wine_stack_test(windows.pkcs11_named_mutex win_p11_mutex_test --readers 1 --demo-card)
endif()
