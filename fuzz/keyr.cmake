# The KEYR fuzzer compiles the key-file parser itself with coverage
# instrumentation, so that the search is guided by the parser's branches;
# the rest of the library comes from the test library.
add_executable(keyr_fuzz
  ${CMAKE_CURRENT_LIST_DIR}/keyr_fuzz.cpp
  ${PROJECT_SOURCE_DIR}/testlib/cscache/keyrfile.cpp)
target_compile_options(keyr_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_options(keyr_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_libraries(keyr_fuzz PRIVATE nivoratest_static devsim)
