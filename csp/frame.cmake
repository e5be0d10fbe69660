# CSP_VORN.dll: the provider's frame, contexts and PIN logic with the
# dialogs and the other engineers' entry points. The provider's objects are
# built once (csp_core) and linked twice: CSP_VORN with its signature
# resource, and CSP_VORN_nosig (tests only: registration through a .sig file).
enable_language(RC)

# The 128-byte provider signature, supplied like the personalisation keys:
# -DVORN_CSP_SIGNATURE=<file> with a SIGNATURE= line (256 hex digits); the
# repository's test value otherwise.
set(VORN_CSP_SIGNATURE "" CACHE FILEPATH "File with the provider signature of resource 666 (SIGNATURE=256 hex digits)")
if(VORN_CSP_SIGNATURE)
  set(_sig_file "${VORN_CSP_SIGNATURE}")
else()
  set(_sig_file "${CMAKE_CURRENT_SOURCE_DIR}/res/test-signature.conf")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_sig_file}")
file(STRINGS "${_sig_file}" _sig_line REGEX "^SIGNATURE=")
string(REGEX REPLACE "^SIGNATURE=" "" _sig_hex "${_sig_line}")
string(STRIP "${_sig_hex}" _sig_hex)
string(LENGTH "${_sig_hex}" _sig_len)
if(NOT _sig_hex MATCHES "^[0-9A-Fa-f]+$" OR NOT _sig_len EQUAL 256)
  message(FATAL_ERROR "${_sig_file}: SIGNATURE must be 128 bytes (256 hex digits)")
endif()
# The resource: 0x00000100, 0x00000148, the signature, 8 zero bytes; as
# 16-bit little-endian words for the resource compiler.
set(_res_hex "0001000048010000${_sig_hex}0000000000000000")
set(_words "")
string(LENGTH "${_res_hex}" _n)
math(EXPR _last "${_n} - 4")
foreach(_i RANGE 0 ${_last} 4)
  string(SUBSTRING "${_res_hex}" ${_i} 2 _lo)
  math(EXPR _i2 "${_i} + 2")
  string(SUBSTRING "${_res_hex}" ${_i2} 2 _hi)
  if(_words)
    string(APPEND _words ", ")
  endif()
  string(APPEND _words "0x${_hi}${_lo}")
endforeach()
set(_gen "${CMAKE_CURRENT_BINARY_DIR}/gen")
foreach(_variant signed nosig)
  set(_h "#pragma once\n#define VORN_VER_MAJOR ${PROJECT_VERSION_MAJOR}\n#define VORN_VER_MINOR ${PROJECT_VERSION_MINOR}\n")
  string(APPEND _h "#define VORN_VER_PATCH ${PROJECT_VERSION_PATCH}\n#define VORN_VER_STRING \"${PROJECT_VERSION}\"\n")
  if(_variant STREQUAL "signed")
    string(APPEND _h "#define VORN_CSP_SIGNATURE_WORDS ${_words}\n")
  endif()
  file(CONFIGURE OUTPUT "${_gen}/${_variant}/csp_build.h" CONTENT "${_h}")
endforeach()

set(_csp_sources src/main.cpp src/register.cpp src/context.cpp src/watch.cpp src/pin.cpp
                 src/hash.cpp src/keys.cpp src/crypt.cpp src/blobs.cpp src/params.cpp)
add_library(csp_core OBJECT ${_csp_sources})
target_include_directories(csp_core PUBLIC "${CMAKE_CURRENT_SOURCE_DIR}" "${CMAKE_CURRENT_SOURCE_DIR}/src")
target_link_libraries(csp_core PUBLIC csp_dialogs vorn_csp_session vorn_csp_blobcore vorn_cardlayer vorn_softcrypto
                      vorn_platform crypt32)
vorn_warnings(csp_core)

foreach(_dll CSP_VORN CSP_VORN_nosig)
  add_library(${_dll} SHARED res/csp.rc src/CSP_VORN.def)
  target_link_libraries(${_dll} PRIVATE csp_core csp_dialogs vorn_cardlayer vorn_softcrypto vorn_platform
                        winscard advapi32 crypt32 user32 rpcrt4)
  set_target_properties(${_dll} PROPERTIES OUTPUT_NAME CSP_VORN)
endforeach()
target_include_directories(CSP_VORN PRIVATE "${_gen}/signed")
target_include_directories(CSP_VORN_nosig PRIVATE "${_gen}/nosig")
set_target_properties(CSP_VORN_nosig PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/nosig" LIBRARY_OUTPUT_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/nosig"
  ARCHIVE_OUTPUT_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/nosig" EXCLUDE_FROM_ALL ON)
