# Kilnor's parsers: "config.bin" and the hexadecimal address fields. The
# sources are compiled into the target so that they carry the fuzzer's
# coverage instrumentation.
if(COMMAND nvt_add_fuzzer)
  nvt_add_fuzzer(config_bin_fuzz ${CMAKE_CURRENT_LIST_DIR}/config_bin_fuzz.cpp)
else()
  add_executable(config_bin_fuzz ${CMAKE_CURRENT_LIST_DIR}/config_bin_fuzz.cpp)
  target_compile_options(config_bin_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(config_bin_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
endif()
target_sources(config_bin_fuzz PRIVATE
  ${PROJECT_SOURCE_DIR}/kilnor/config_bin.cpp
  ${PROJECT_SOURCE_DIR}/kilnor/hex_text.cpp)
target_include_directories(config_bin_fuzz PRIVATE ${PROJECT_SOURCE_DIR}/kilnor)
