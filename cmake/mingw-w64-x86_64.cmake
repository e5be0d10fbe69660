# Cross-build for Windows x64 with Debian's MinGW-w64 (g++-mingw-w64-x86-64).
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DVORN_TEST_PERSONALISATION=ON
# Programs run under Wine 8 through tools/wine-run, which ctest and
# GoogleTest's test discovery use as the emulator.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The posix thread model gives std::thread and std::mutex.
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every image carries its own C and C++ runtime and winpthread, so a DLL or
# test program runs in any Wine prefix (or on Windows) without MinGW's DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# OpenSSL's libcrypto for MinGW (Debian has none): built once from Debian's
# source package by tools/wine-openssl, linked statically.
if(DEFINED ENV{VORN_MINGW_DEPS})
  set(VORN_MINGW_DEPS "$ENV{VORN_MINGW_DEPS}")
else()
  set(VORN_MINGW_DEPS "/opt/vorn-mingw-w64")
endif()
if(NOT EXISTS "${VORN_MINGW_DEPS}/lib/libcrypto.a")
  message(STATUS "Building OpenSSL's libcrypto for MinGW-w64 into ${VORN_MINGW_DEPS} (once, 10-20 minutes)")
  execute_process(COMMAND bash "${CMAKE_CURRENT_LIST_DIR}/../tools/wine-openssl" "${VORN_MINGW_DEPS}"
                  RESULT_VARIABLE _vorn_ossl_rv)
  if(NOT _vorn_ossl_rv EQUAL 0)
    message(FATAL_ERROR "tools/wine-openssl failed (${_vorn_ossl_rv})")
  endif()
endif()
list(APPEND CMAKE_FIND_ROOT_PATH "${VORN_MINGW_DEPS}")
set(OPENSSL_USE_STATIC_LIBS TRUE)

# p11-kit's pkcs11.h is platform-neutral (it packs to 1 byte on _WIN32).
set(CMAKE_CXX_FLAGS_INIT "-isystem /usr/include/p11-kit-1")

set(CMAKE_USER_MAKE_RULES_OVERRIDE "${CMAKE_CURRENT_LIST_DIR}/mingw-w64-x86_64-rules.cmake")

set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run")
