# Every test the build registers goes through the functions below. They keep a list of what
# they registered, written into the build folder as registered-tests.txt, which `make test`
# holds against what ctest lists and runs (tests/counted-ctest.py): a test program that stops
# being built, or whose cases are no longer found, fails the run instead of vanishing from it.

# Under ThreadSanitizer, executables that use Qt (the test programs, the program itself, build
# tools) read tests/tsan-qt.supp: Qt's libraries are not built with TSan, so it cannot see their
# internal synchronisation. Everything else runs without any suppression.
function(quorvel_reads_qt_tsan_suppressions target)
  if(NOT QUORVEL_SANITIZE STREQUAL "thread")
    return()
  endif()
  set(options ${PROJECT_SOURCE_DIR}/tests/TsanQtOptions.cpp)
  target_sources(${target} PRIVATE ${options})
  set_source_files_properties(${options} TARGET_DIRECTORY ${target} PROPERTIES
    COMPILE_DEFINITIONS QUORVEL_TSAN_QT_SUPP="${PROJECT_SOURCE_DIR}/tests/tsan-qt.supp")
  message(STATUS "ThreadSanitizer: ${target} reads tsan-qt.supp")
endfunction()

# Records one registered name (a test program, or a scripted test) and what runs it.
function(quorvel_register_test runner name)
  set_property(GLOBAL APPEND PROPERTY QUORVEL_REGISTERED_TESTS "${runner} ${name}")
endfunction()

# The GoogleTest cases of <target>, one ctest test each, labelled with the program's name so
# each test can be traced to the program that holds it.
#   quorvel_add_test(<target> [TEST_PREFIX <p>] [DISCOVERY_TIMEOUT <s>] [DISCOVERY_MODE <m>]
#                    [PROPERTIES <name> <value>...])    (PROPERTIES last)
function(quorvel_add_test target)
  # The Windows build's test programs run under Wine, by tests/win32/run.sh.
  if(WIN32)
    quorvel_register_test(wine ${target})
    return()
  endif()
  cmake_parse_arguments(arg "" "TEST_PREFIX;DISCOVERY_TIMEOUT;DISCOVERY_MODE" "PROPERTIES" ${ARGN})
  set(discovery)
  foreach(option TEST_PREFIX DISCOVERY_TIMEOUT DISCOVERY_MODE)
    if(DEFINED arg_${option})
      list(APPEND discovery ${option} ${arg_${option}})
    endif()
  endforeach()
  gtest_discover_tests(${target} ${discovery} PROPERTIES ${arg_PROPERTIES} LABELS ${target})
  quorvel_register_test(ctest ${target})
endfunction()

# A test program that makes Qt widgets: run offscreen, and under TSan with Qt's suppressions.
# Takes what quorvel_add_test takes.
function(quorvel_add_qt_test target)
  cmake_parse_arguments(arg "" "" "PROPERTIES" ${ARGN})
  quorvel_reads_qt_tsan_suppressions(${target})
  quorvel_add_test(${target} ${arg_UNPARSED_ARGUMENTS}
                   PROPERTIES ENVIRONMENT QT_QPA_PLATFORM=offscreen ${arg_PROPERTIES})
endfunction()

# A test that is a command rather than a GoogleTest program; takes add_test's arguments.
function(quorvel_add_script_test)
  cmake_parse_arguments(arg "" "NAME" "" ${ARGN})
  add_test(${ARGN})
  set_tests_properties(${arg_NAME} PROPERTIES LABELS ${arg_NAME})
  quorvel_register_test(ctest ${arg_NAME})
endfunction()

# A test program that runs elsewhere than under ctest: <runner> is "wine" (tests/win32/run.sh)
# or "kernel" (the guest of tests/kernel/run.py), which read registered-tests.txt to know they
# ran them all.
function(quorvel_add_foreign_test target runner)
  quorvel_register_test(${runner} ${target})
endfunction()

# Called once at the end of the configure, when every test is registered.
function(quorvel_write_registered_tests)
  get_property(names GLOBAL PROPERTY QUORVEL_REGISTERED_TESTS)
  list(JOIN names "\n" lines)
  file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/registered-tests.txt CONTENT "${lines}\n")
  list(LENGTH names count)
  message(STATUS "Tests: ${count} registered (registered-tests.txt)")
endfunction()
