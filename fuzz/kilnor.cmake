# Kilnor's parsers: "config.bin" and the hexadecimal address fields, and the
# dump files of the simulated adapter. The sources are compiled into the
# targets so that they carry the fuzzer's coverage instrumentation.
if(COMMAND nvt_add_fuzzer)
  nvt_add_fuzzer(config_bin_fuzz ${CMAKE_CURRENT_LIST_DIR}/config_bin_fuzz.cpp)
  nvt_add_fuzzer(dumpfile_fuzz ${CMAKE_CURRENT_LIST_DIR}/dumpfile_fuzz.cpp)
else()
  foreach(name config_bin_fuzz dumpfile_fuzz)
    add_executable(${name} ${CMAKE_CURRENT_LIST_DIR}/${name}.cpp)
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  endforeach()
endif()
target_sources(config_bin_fuzz PRIVATE
  ${PROJECT_SOURCE_DIR}/kilnor/config_bin.cpp
  ${PROJECT_SOURCE_DIR}/kilnor/hex_text.cpp)
target_include_directories(config_bin_fuzz PRIVATE ${PROJECT_SOURCE_DIR}/kilnor)
target_sources(dumpfile_fuzz PRIVATE
  ${PROJECT_SOURCE_DIR}/outside/kilnorsim/dumpfile.cpp
  ${PROJECT_SOURCE_DIR}/outside/kilnorsim/kilnorsim.cpp)
target_include_directories(dumpfile_fuzz PRIVATE ${PROJECT_SOURCE_DIR}/outside/kilnorsim)
