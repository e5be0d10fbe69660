# The provider's dialogs under Wine on a private X server, and the dialog
# driver the provider's other Windows tests reuse.
add_library(csp_ui_driver STATIC ui_driver.cpp)
target_include_directories(csp_ui_driver PUBLIC "${CMAKE_CURRENT_SOURCE_DIR}")
target_link_libraries(csp_ui_driver PUBLIC user32 gdi32)
vorn_warnings(csp_ui_driver)

add_executable(win_csp_dialogs_test dialogs_test.cpp)
target_link_libraries(win_csp_dialogs_test PRIVATE csp_dialogs csp_ui_driver GTest::gtest)
vorn_warnings(win_csp_dialogs_test)
add_dependencies(win_csp_dialogs_test vorn_wine_platform)
# Runs the dialogs and converts their screenshots to PNG; tools/csp-dialog-shots
# runs the same script into docs/img.
add_test(NAME csp.dialogs
  COMMAND bash "${CMAKE_CURRENT_SOURCE_DIR}/dialogs_test.sh" $<TARGET_FILE:win_csp_dialogs_test>
          "${CMAKE_CURRENT_BINARY_DIR}/shots")
set_tests_properties(csp.dialogs PROPERTIES TIMEOUT 300)
