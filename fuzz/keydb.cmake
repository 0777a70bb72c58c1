# The key database fuzzer compiles the loader and its support code with
# coverage instrumentation, so the fuzzer is guided by the loader's own
# branches and not only by its entry point.
find_package(XercesC REQUIRED)
add_executable(keydb_fuzz
  ${CMAKE_CURRENT_LIST_DIR}/keydb_fuzz.cpp
  ${PROJECT_SOURCE_DIR}/testlib/cscache/cskeysinfo.cpp
  ${PROJECT_SOURCE_DIR}/testlib/support/msghandler.cpp
  ${PROJECT_SOURCE_DIR}/testlib/support/fileutil.cpp
  ${PROJECT_SOURCE_DIR}/testlib/support/stringutil.cpp
  ${PROJECT_SOURCE_DIR}/testlib/support/stopwatch.cpp
  ${PROJECT_SOURCE_DIR}/testlib/support/clock.cpp
  ${PROJECT_SOURCE_DIR}/testlib/support/platform_posix.cpp)
target_include_directories(keydb_fuzz PRIVATE
  ${PROJECT_SOURCE_DIR}/testlib/cscache ${PROJECT_SOURCE_DIR}/testlib/support)
target_compile_options(keydb_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_options(keydb_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_libraries(keydb_fuzz PRIVATE XercesC::XercesC)
