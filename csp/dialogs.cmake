# The provider's dialogs (templates and string tables in res/dialogs.rc).
# An object library: its resource object carries no symbols, so a static
# archive would let the linker drop it; CSP_VORN and the dialog test take
# the objects themselves. GNU ld merges the .rsrc of several objects.
enable_language(RC)
add_library(csp_dialogs OBJECT src/dialogs.cpp res/dialogs.rc)
target_include_directories(csp_dialogs PUBLIC "${CMAKE_CURRENT_SOURCE_DIR}/src" "${CMAKE_CURRENT_SOURCE_DIR}/res")
target_link_libraries(csp_dialogs PUBLIC vorn_platform user32)
set_source_files_properties(res/dialogs.rc PROPERTIES OBJECT_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/res/dialogs_ids.h")
vorn_warnings(csp_dialogs)
