# What a test suite needs from the system. A suite left out hides its checks while CTest still
# reports 100 %, so the test command (tools/run-tests.sh) configures with KERNO_REQUIRE_ALL_TESTS
# and stops instead; a developer's plain build goes on with a warning.
option(KERNO_REQUIRE_ALL_TESTS "Stop the configure when a test suite cannot be built" OFF)

# kerno_test_packages(SUITE PACKAGE FOUND [PACKAGE FOUND]...): FOUND is a variable that is true
# when the package's part is there, or TARGET:name. Sets KERNO_TEST_PACKAGES_FOUND.
function(kerno_test_packages suite)
  file(STRINGS ${PROJECT_SOURCE_DIR}/tools/debian-packages.txt listed REGEX "^[^#]")
  set(args ${ARGN})
  set(missing "")
  while(args)
    list(POP_FRONT args package found)
    if(NOT package IN_LIST listed)
      message(FATAL_ERROR "${suite}: ${package} is not in tools/debian-packages.txt")
    endif()
    if(found MATCHES "^TARGET:(.*)")
      if(NOT TARGET ${CMAKE_MATCH_1})
        list(APPEND missing ${package})
      endif()
    elseif(NOT ${found})
      list(APPEND missing ${package})
    endif()
  endwhile()
  set(KERNO_TEST_PACKAGES_FOUND TRUE PARENT_SCOPE)
  if(missing)
    set(KERNO_TEST_PACKAGES_FOUND FALSE PARENT_SCOPE)
    list(JOIN missing " " missing)
    set(level WARNING)
    if(KERNO_REQUIRE_ALL_TESTS)
      set(level FATAL_ERROR)
    endif()
    message(${level} "${suite} left out, missing Debian packages: ${missing} "
                     "(tools/install-deps.sh installs them)")
  endif()
endfunction()

# kerno_system_python_imports(VAR CODE): VAR is true when the system's Python runs CODE.
function(kerno_system_python_imports var code)
  find_program(KERNO_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
  set(${var} FALSE PARENT_SCOPE)
  if(KERNO_SYSTEM_PYTHON)
    execute_process(COMMAND ${KERNO_SYSTEM_PYTHON} -c "${code}" RESULT_VARIABLE status
      OUTPUT_QUIET ERROR_QUIET)
    if(status EQUAL 0)
      set(${var} TRUE PARENT_SCOPE)
    endif()
  endif()
endfunction()
