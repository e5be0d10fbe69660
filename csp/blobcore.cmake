# The key-blob layouts and the RFC 3217 key wraps build without
# <windows.h> too: their tests compare them with OpenSSL natively.
add_library(vorn_csp_blobcore STATIC src/blobfmt.cpp src/rfc3217.cpp)
target_include_directories(vorn_csp_blobcore PUBLIC "${CMAKE_CURRENT_SOURCE_DIR}/src")
target_link_libraries(vorn_csp_blobcore PUBLIC vorn_softcrypto vorn_platform)
vorn_warnings(vorn_csp_blobcore)
