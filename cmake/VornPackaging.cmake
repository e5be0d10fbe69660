# Debian packages of the native build (cpack -G DEB in the build tree):
#   vorn-pkcs11  the module, its p11-kit file, copyright and changelog
#   vorn-tools   vorn-cardsim, vornenv and with-vornenv with their man pages
# A build with the public test keys names them vorn-pkcs11-testkeys and
# vorn-tools-testkeys and says so in the description; a build without a
# personalisation choice packages nothing (its install stops, see
# VornPersonalisation.cmake). docs/packaging.md has the details.
# The Windows build makes the Windows bundle instead (VornWindowsBundle.cmake).
if(WIN32)
  include(VornWindowsBundle)
  return()
endif()
if(CMAKE_CROSSCOMPILING)
  return()
endif()
include(GNUInstallDirs)

set(VORN_PKG_MAINTAINER "VORN middleware developers <vorn@users.noreply.example>" CACHE STRING
    "Maintainer field of the Debian packages")
if(_vorn_test)
  set(_vorn_sfx "-testkeys")
  set(_vorn_title " (TEST KEYS)")
  set(_vorn_keys_note
      "THIS BUILD CARRIES THE PUBLIC TEST KEYS: it serves only the card\nsimulator, never real cards.")
else()
  set(_vorn_sfx "")
  set(_vorn_title "")
  set(_vorn_keys_note "Built with the personalisation of the cards it serves.")
endif()
set(_vorn_pkg_pkcs11 "vorn-pkcs11${_vorn_sfx}")
set(_vorn_pkg_tools "vorn-tools${_vorn_sfx}")

# Documentation: /usr/share/doc/<package>/{copyright,changelog.gz}.
set(_vorn_pkgdir "${CMAKE_BINARY_DIR}/packaging")
configure_file("${CMAKE_SOURCE_DIR}/packaging/deb/changelog.in" "${_vorn_pkgdir}/changelog" @ONLY)
find_program(VORN_GZIP gzip REQUIRED)
set(_vorn_gz "${_vorn_pkgdir}/changelog.gz")
foreach(_m vorn-cardsim vornenv with-vornenv)
  list(APPEND _vorn_gz "${_vorn_pkgdir}/${_m}.1.gz")
endforeach()
# gzip -n: no name or time stamp, so the packages are reproducible.
add_custom_command(
  OUTPUT ${_vorn_gz}
  COMMAND "${VORN_GZIP}" -9n -c "${_vorn_pkgdir}/changelog" > "${_vorn_pkgdir}/changelog.gz"
  COMMAND "${VORN_GZIP}" -9n -c "${CMAKE_SOURCE_DIR}/packaging/man/vorn-cardsim.1" > "${_vorn_pkgdir}/vorn-cardsim.1.gz"
  COMMAND "${VORN_GZIP}" -9n -c "${CMAKE_SOURCE_DIR}/packaging/man/vornenv.1" > "${_vorn_pkgdir}/vornenv.1.gz"
  COMMAND "${VORN_GZIP}" -9n -c "${CMAKE_SOURCE_DIR}/packaging/man/with-vornenv.1" > "${_vorn_pkgdir}/with-vornenv.1.gz"
  DEPENDS "${_vorn_pkgdir}/changelog" "${CMAKE_SOURCE_DIR}/packaging/man/vorn-cardsim.1"
          "${CMAKE_SOURCE_DIR}/packaging/man/vornenv.1" "${CMAKE_SOURCE_DIR}/packaging/man/with-vornenv.1"
  VERBATIM)
add_custom_target(vorn_package_docs ALL DEPENDS ${_vorn_gz})

foreach(_c pkcs11 tools)
  install(FILES "${CMAKE_SOURCE_DIR}/packaging/deb/copyright" "${_vorn_pkgdir}/changelog.gz"
          DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${_vorn_pkg_${_c}}" COMPONENT ${_c})
endforeach()

# The scripts installed into /usr/bin run Debian's python3 directly (policy:
# no /usr/bin/env in the #! line); they find the simulator next to them.
foreach(_s vornenv with-vornenv)
  file(READ "${CMAKE_SOURCE_DIR}/tools/${_s}" _text)
  string(REGEX REPLACE "^#![^\n]*" "#!/usr/bin/python3 -S" _text "${_text}")
  file(WRITE "${_vorn_pkgdir}/bin/${_s}" "${_text}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/tools/${_s}")
  install(PROGRAMS "${_vorn_pkgdir}/bin/${_s}" DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT tools)
endforeach()
install(TARGETS vorn-cardsim RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT tools)
install(FILES "${_vorn_pkgdir}/vorn-cardsim.1.gz" "${_vorn_pkgdir}/vornenv.1.gz" "${_vorn_pkgdir}/with-vornenv.1.gz"
        DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT tools)

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "vorn")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${VORN_PKG_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_COMPONENTS_ALL pkcs11 tools)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")

set(CPACK_DEBIAN_PKCS11_PACKAGE_NAME "${_vorn_pkg_pkcs11}")
set(CPACK_DEBIAN_PKCS11_PACKAGE_SECTION "libs")
set(CPACK_DEBIAN_PKCS11_PACKAGE_RECOMMENDS "pcscd, p11-kit")
set(CPACK_COMPONENT_PKCS11_DESCRIPTION
    "PKCS#11 module for VORN smart cards${_vorn_title}
The PKCS#11 module PKCS11_VORN for the VORN cryptographic smart card, with
its p11-kit module file, so that p11-kit aware programs (GnuTLS, NSS through
p11-kit-proxy, OpenSSL's pkcs11 engine, ssh) see the card's token.
${_vorn_keys_note}")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME "${_vorn_pkg_tools}")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "python3, pcscd, vsmartcard-vpcd, libpcsclite1")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "VORN card simulator and PC/SC test environment${_vorn_title}
vorn-cardsim stands in for a VORN smart card behind the vpcd virtual reader
of pcscd; vornenv runs a PC/SC stack with simulated cards and with-vornenv
runs one command against a private stack of its own.
${_vorn_keys_note}")
# The test and the real packages hold the same files.
if(_vorn_test)
  set(CPACK_DEBIAN_PKCS11_PACKAGE_CONFLICTS "vorn-pkcs11")
  set(CPACK_DEBIAN_TOOLS_PACKAGE_CONFLICTS "vorn-tools")
else()
  set(CPACK_DEBIAN_PKCS11_PACKAGE_CONFLICTS "vorn-pkcs11-testkeys")
  set(CPACK_DEBIAN_TOOLS_PACKAGE_CONFLICTS "vorn-tools-testkeys")
endif()
set(CPACK_DEBIAN_PKCS11_PACKAGE_REPLACES "${CPACK_DEBIAN_PKCS11_PACKAGE_CONFLICTS}")
set(CPACK_DEBIAN_TOOLS_PACKAGE_REPLACES "${CPACK_DEBIAN_TOOLS_PACKAGE_CONFLICTS}")
include(CPack)
