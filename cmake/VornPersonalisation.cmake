# Reads the personalisation file and generates <vorn/personalisation.h> with
# the three shared card keys. The file holds lines KEY=32 hex digits for
# SIGN_CHANNEL_KEY, CIPH_CHANNEL_KEY and PIN_CACHE_KEY, and says TEST=1 when
# it is the test personalisation.
#
# A build that installs needs an explicit choice: -DVORN_PERSONALISATION=<file>
# for the cards' real keys, or -DVORN_TEST_PERSONALISATION=ON for the
# repository's public test keys (platform/test-personalisation.conf, what the
# simulator and the tests use). Without either the tree still builds, with the
# test keys, and `cmake --install` stops. A module built with the test keys
# says so in C_GetInfo.
set(_vorn_test_file "${CMAKE_SOURCE_DIR}/platform/test-personalisation.conf")
if(VORN_PERSONALISATION)
  file(REAL_PATH "${VORN_PERSONALISATION}" _vorn_given)
  file(REAL_PATH "${_vorn_test_file}" _vorn_test_real)
endif()
if(VORN_TEST_PERSONALISATION AND VORN_PERSONALISATION AND NOT _vorn_given STREQUAL _vorn_test_real)
  message(FATAL_ERROR "VORN_PERSONALISATION=${VORN_PERSONALISATION} and VORN_TEST_PERSONALISATION=ON "
          "both given: choose one (set the other to an empty value / OFF).")
elseif(VORN_TEST_PERSONALISATION)
  set(_vorn_perso_file "${_vorn_test_file}")
elseif(VORN_PERSONALISATION)
  set(_vorn_perso_file "${VORN_PERSONALISATION}")
else()
  # Nothing chosen: the tree builds (with the public test keys, so the module
  # says "(TEST KEYS)"), but it installs nowhere.
  set(_vorn_perso_file "${_vorn_test_file}")
  set(_vorn_unchosen TRUE)
  message(WARNING "No personalisation chosen: building with the public TEST keys of the simulator "
          "(the module reports \"PKCS#11 VORN (TEST KEYS)\"), and cmake --install refuses this build. Give\n"
          "  -DVORN_PERSONALISATION=/path/to/keys.conf   the keys of your cards, or\n"
          "  -DVORN_TEST_PERSONALISATION=ON              the public test keys, on purpose "
          "(never for real cards)")
endif()
if(NOT EXISTS "${_vorn_perso_file}")
  message(FATAL_ERROR "personalisation file not found: ${_vorn_perso_file}")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_vorn_perso_file}")
file(STRINGS "${_vorn_perso_file}" _vorn_perso_lines REGEX "^[A-Z_]+=")
set(_vorn_test 0)
foreach(_line IN LISTS _vorn_perso_lines)
  string(REGEX MATCH "^([A-Z_]+)=(.*)$" _m "${_line}")
  set(_k "${CMAKE_MATCH_1}")
  string(STRIP "${CMAKE_MATCH_2}" _v)
  if(_k STREQUAL "TEST")
    set(_vorn_test "${_v}")
  elseif(_k MATCHES "^(SIGN_CHANNEL_KEY|CIPH_CHANNEL_KEY|PIN_CACHE_KEY)$")
    if(NOT _v MATCHES "^[0-9A-Fa-f]+$")
      message(FATAL_ERROR "${_vorn_perso_file}: ${_k} is not hexadecimal")
    endif()
    string(LENGTH "${_v}" _len)
    if(NOT _len EQUAL 32)
      message(FATAL_ERROR "${_vorn_perso_file}: ${_k} must be 16 bytes (32 hex digits)")
    endif()
    string(REGEX REPLACE "([0-9A-Fa-f][0-9A-Fa-f])" "0x\\1, " _bytes "${_v}")
    string(REGEX REPLACE ", $" "" _bytes "${_bytes}")
    set(_vorn_${_k} "${_bytes}")
  endif()
endforeach()
foreach(_k SIGN_CHANNEL_KEY CIPH_CHANNEL_KEY PIN_CACHE_KEY)
  if(NOT DEFINED _vorn_${_k})
    message(FATAL_ERROR "${_vorn_perso_file}: ${_k} missing")
  endif()
endforeach()
if(_vorn_test AND NOT VORN_TEST_PERSONALISATION AND NOT _vorn_unchosen)
  message(FATAL_ERROR "${_vorn_perso_file} is the test personalisation (TEST=1): "
          "build with -DVORN_TEST_PERSONALISATION=ON instead")
endif()
if(VORN_TEST_PERSONALISATION AND NOT _vorn_test)
  message(FATAL_ERROR "${_vorn_perso_file} does not say TEST=1")
endif()
if(_vorn_test)
  set(_vorn_test_cxx "true")
  set(_vorn_test_int 1)
  message(STATUS "VORN personalisation: TEST keys from ${_vorn_perso_file} (not for real cards); "
          "the module reports \"PKCS#11 VORN (TEST KEYS)\"")
else()
  set(_vorn_test_cxx "false")
  set(_vorn_test_int 0)
  message(STATUS "VORN personalisation: ${_vorn_perso_file}")
endif()
set(VORN_GENERATED_INCLUDE "${CMAKE_BINARY_DIR}/generated")
configure_file("${CMAKE_SOURCE_DIR}/cmake/personalisation.h.in"
               "${VORN_GENERATED_INCLUDE}/vorn/personalisation.h" @ONLY)
add_library(vorn_personalisation INTERFACE)
target_include_directories(vorn_personalisation INTERFACE "${VORN_GENERATED_INCLUDE}")

# Runs before every other install rule (install scripts follow the order of
# declaration), so nothing is copied from an unchosen build.
if(_vorn_unchosen)
  install(CODE "message(FATAL_ERROR \"No personalisation chosen: this build carries the public TEST keys and is not installed. Configure again with -DVORN_PERSONALISATION=/path/to/keys.conf (or -DVORN_TEST_PERSONALISATION=ON for a test install).\")" ALL_COMPONENTS)
endif()
