# qmx_gtest(NAME SOURCES ... LIBS ... [FIXTURES fixture]): a GoogleTest executable whose cases
# ctest runs one by one (under Wine in the Windows build, through the cross-compiling emulator),
# each with the ctest fixture named. Not built in the fuzz build.
function(qmx_gtest name)
  if(QMX_FUZZ)
    return()
  endif()
  cmake_parse_arguments(T "" "FIXTURES" "SOURCES;LIBS" ${ARGN})
  set(properties TIMEOUT 120)
  if(T_FIXTURES)
    list(APPEND properties FIXTURES_REQUIRED ${T_FIXTURES})
  endif()
  add_executable(${name} ${T_SOURCES})
  if(QMX_WINDOWS)
    target_link_libraries(${name} PRIVATE ${T_LIBS} gtest gmock gtest_main)
  else()
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main pthread)
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                       WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
                       PROPERTIES ${properties})
endfunction()

# qmx_fuzz(NAME SOURCES ... LIBS ... CORPUS dir): a libFuzzer target (LLVMFuzzerTestOneInput).
# In the fuzz build (clang, QMX_FUZZ=ON) ctest runs it for QMX_FUZZ_SECONDS on a copy of the
# committed corpus. In the host build the same entry runs over every corpus file under the
# sanitizers, as a regression test. Not built for Windows.
function(qmx_fuzz name)
  if(QMX_WINDOWS)
    return()
  endif()
  cmake_parse_arguments(T "" "CORPUS" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS})
  if(QMX_FUZZ)
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    set(work ${CMAKE_BINARY_DIR}/fuzz-corpus/${name})
    add_test(NAME ${name}
             COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=1
                     sh -c "rm -rf '${work}' && mkdir -p '${work}' && cp -r '${T_CORPUS}'/. '${work}'/ && exec '$<TARGET_FILE:${name}>' -max_total_time=${QMX_FUZZ_SECONDS} -rss_limit_mb=1024 -timeout=10 -max_len=1048576 '${work}'")
    set_tests_properties(${name} PROPERTIES TIMEOUT 600)
  else()
    target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/support/fuzz_replay_main.cpp)
    add_test(NAME ${name}_corpus COMMAND ${name} ${T_CORPUS})
  endif()
endfunction()
