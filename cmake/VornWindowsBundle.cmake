# The Windows bundle (Windows build only, built by default):
#   <build>/VORN-<version>-windows-x64[-testkeys].zip
# with CSP_VORN.dll, Kestrelink.exe, PKCS11_VORN.dll, register.cmd, unregister.cmd and README.txt (CRLF).
# A build with the public test keys carries the -testkeys suffix and says so
# in README.txt; a build without a personalisation choice makes no bundle (as
# it makes no Debian package). The sources are in packaging/windows/.
if(_vorn_unchosen)
  message(STATUS "No personalisation chosen: no Windows bundle")
  return()
endif()
if(_vorn_test)
  set(_vorn_bundle_sfx "-testkeys")
  set(_vorn_bundle_keys "
THIS BUNDLE CARRIES THE PUBLIC TEST KEYS: its module serves only the card
simulator of the VORN test tools, never real cards. Do not install it for
real use.
")
else()
  set(_vorn_bundle_sfx "")
  set(_vorn_bundle_keys "
Built with the personalisation of the cards it serves.
")
endif()
set(VORN_BUNDLE_NAME "VORN-${PROJECT_VERSION}-windows-x64${_vorn_bundle_sfx}")
set(VORN_BUNDLE_ZIP "${CMAKE_BINARY_DIR}/${VORN_BUNDLE_NAME}.zip")
# The zip's file list, in its order (the test checks it).
set(VORN_BUNDLE_FILES CSP_VORN.dll Kestrelink.exe PKCS11_VORN.dll README.txt register.cmd unregister.cmd)

set(_stage "${CMAKE_BINARY_DIR}/bundle")
set(_src "${CMAKE_SOURCE_DIR}/packaging/windows")
# Windows text: CRLF line ends (cmd.exe misreads labels and blocks of LF
# scripts, Notepad of old shows one line).
# configure_file's NEWLINE_STYLE leaves the line ends inside substituted
# values alone, so every line end is written here.
foreach(_s README.txt.in register.cmd unregister.cmd)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_src}/${_s}")
  file(READ "${_src}/${_s}" _text)
  string(CONFIGURE "${_text}" _text @ONLY)
  string(REPLACE "\r\n" "\n" _text "${_text}")
  string(REPLACE "\n" "\r\n" _text "${_text}")
  string(REGEX REPLACE "\\.in$" "" _out "${_s}")
  file(CONFIGURE OUTPUT "${_stage}/${_out}" CONTENT "@_text@" @ONLY)  # written when changed
endforeach()

add_custom_command(OUTPUT "${VORN_BUNDLE_ZIP}"
  COMMAND "${CMAKE_COMMAND}" -E copy "$<TARGET_FILE:PKCS11_VORN>" "${_stage}/PKCS11_VORN.dll"
  COMMAND "${CMAKE_COMMAND}" -E copy "$<TARGET_FILE:CSP_VORN>" "${_stage}/CSP_VORN.dll"
  COMMAND "${CMAKE_COMMAND}" -E copy "$<TARGET_FILE:Kestrelink>" "${_stage}/Kestrelink.exe"
  COMMAND "${CMAKE_COMMAND}" -E rm -f "${VORN_BUNDLE_ZIP}"
  COMMAND "${CMAKE_COMMAND}" -E chdir "${_stage}"
          "${CMAKE_COMMAND}" -E tar cf "${VORN_BUNDLE_ZIP}" --format=zip ${VORN_BUNDLE_FILES}
  DEPENDS PKCS11_VORN CSP_VORN Kestrelink "${_stage}/README.txt" "${_stage}/register.cmd" "${_stage}/unregister.cmd"
  COMMENT "Windows bundle ${VORN_BUNDLE_NAME}.zip" VERBATIM)
add_custom_target(vorn-windows-bundle ALL DEPENDS "${VORN_BUNDLE_ZIP}")

# windows.bundle: unpacked and registered in a fresh Wine prefix of its own
# (no PC/SC stack), tests/windows/bundle.sh.
if(VORN_BUILD_TESTS)
  add_test(NAME windows.bundle
    COMMAND bash "${CMAKE_SOURCE_DIR}/tests/windows/bundle.sh" "${VORN_BUNDLE_ZIP}"
            $<TARGET_FILE:PKCS11_VORN> $<TARGET_FILE:CSP_VORN> "${_vorn_test_int}" ${VORN_BUNDLE_FILES})
  set_tests_properties(windows.bundle PROPERTIES TIMEOUT 180)
endif()
