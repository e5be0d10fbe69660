# The session-key cipher core of the provider builds without <windows.h>, so
# it is a library of its own that the native tests use as well.
add_library(vorn_csp_session STATIC src/session.cpp)
target_include_directories(vorn_csp_session PUBLIC "${CMAKE_CURRENT_SOURCE_DIR}/src")
target_link_libraries(vorn_csp_session PUBLIC vorn_softcrypto vorn_platform)
vorn_warnings(vorn_csp_session)
