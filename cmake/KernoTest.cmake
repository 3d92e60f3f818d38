# kerno_add_test(NAME source...): one QtTest executable per area, run by CTest
# offscreen, in a fixed locale, against the application library; support logs
# of the dialogs they open go to the build tree.
function(kerno_add_test name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE kerno_app Qt5::Test)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LC_ALL=C.UTF-8;LANG=C.UTF-8;XDG_STATE_HOME=${CMAKE_BINARY_DIR}/test-state;LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp;ASAN_OPTIONS=detect_leaks=1"
    TIMEOUT 300)
endfunction()

# kerno_add_test_run(NAME TEST SETTING [FUNCTION...]): TEST's executable run again with one
# more environment setting (a screen scale, a font resolution), only the functions named.
function(kerno_add_test_run name test setting)
  add_test(NAME ${name} COMMAND ${test} ${ARGN})
  get_test_property(${test} ENVIRONMENT environment)
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "${environment};${setting}" TIMEOUT 300)
endfunction()
