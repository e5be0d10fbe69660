# Loaded by cmake/mingw-w64-x86_64.cmake after CMake's platform rules: DLLs
# carry their Windows names (PKCS11_VORN.dll, not libPKCS11_VORN.dll).
set(CMAKE_SHARED_LIBRARY_PREFIX "")
set(CMAKE_SHARED_MODULE_PREFIX "")
# A static libcrypto needs these system libraries after it on every link line.
foreach(_lang C CXX)
  if(NOT CMAKE_${_lang}_STANDARD_LIBRARIES_INIT MATCHES "-lbcrypt")
    string(APPEND CMAKE_${_lang}_STANDARD_LIBRARIES_INIT " -lbcrypt -lws2_32 -lcrypt32")
  endif()
endforeach()
