# Standalone asio (Debian's libasio-dev, header-only) as the target
# nvt_asio: the sockets of the simulated chip's cable to the RF tester, of
# the tester itself and of the station's instrument client, on Linux and
# Windows alike. A cross build for Windows takes the build machine's asio
# headers from a folder that holds only them (not the whole /usr/include)
# and links the system's socket libraries.
add_library(nvt_asio INTERFACE)
if(CMAKE_CROSSCOMPILING)
  if(NOT EXISTS /usr/include/asio.hpp)
    message(FATAL_ERROR "asio not found: install libasio-dev (scripts/setup.sh)")
  endif()
  set(nvt_asio_dir ${CMAKE_BINARY_DIR}/host-headers/asio/include)
  file(MAKE_DIRECTORY ${nvt_asio_dir})
  file(CREATE_LINK /usr/include/asio.hpp ${nvt_asio_dir}/asio.hpp SYMBOLIC)
  file(CREATE_LINK /usr/include/asio ${nvt_asio_dir}/asio SYMBOLIC)
  target_include_directories(nvt_asio SYSTEM INTERFACE ${nvt_asio_dir})
else()
  find_path(NVT_ASIO_INCLUDE_DIR asio.hpp)
  if(NOT NVT_ASIO_INCLUDE_DIR)
    message(FATAL_ERROR "asio not found: install libasio-dev (scripts/setup.sh)")
  endif()
  target_include_directories(nvt_asio SYSTEM INTERFACE ${NVT_ASIO_INCLUDE_DIR})
endif()
find_package(Threads REQUIRED)
# asio picks std::aligned_alloc or operator new by whether a standard header
# came before its own, so two sources could pair one's allocation with the
# other's release (AddressSanitizer reports it): always operator new.
target_compile_definitions(nvt_asio INTERFACE ASIO_STANDALONE ASIO_NO_DEPRECATED ASIO_DISABLE_STD_ALIGNED_ALLOC)
target_link_libraries(nvt_asio INTERFACE Threads::Threads)
if(WIN32)
  # Windows 7 and later (Wine included). MinGW's POSIX threads define
  # _POSIX_THREADS in sources that include a thread header before asio, and
  # asio then builds its internal thread class on them, in the others on
  # Windows threads: one program would hold two layouts of that class (its
  # I/O contexts' timer threads corrupted the heap). Every source takes the
  # POSIX one.
  target_compile_definitions(nvt_asio INTERFACE _WIN32_WINNT=0x0601 ASIO_HAS_PTHREADS=1)
  target_link_libraries(nvt_asio INTERFACE ws2_32 mswsock)
endif()
