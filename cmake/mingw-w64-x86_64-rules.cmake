# Loaded by cmake/mingw-w64-x86_64.cmake after CMake's platform rules: DLLs
# carry their Windows names (PKCS11_VORN.dll, not libPKCS11_VORN.dll).
set(CMAKE_SHARED_LIBRARY_PREFIX "")
set(CMAKE_SHARED_MODULE_PREFIX "")
