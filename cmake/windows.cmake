# Settings of the Windows build (native or cross-built with cmake/mingw-w64.cmake),
# included by CMakeLists.txt. On Windows serial/platform/ is <windows.h> itself.
add_compile_definitions(NOMINMAX _WIN32_WINNT=0x0601)

# GoogleTest for the cross build, from the sources Debian's googletest package ships
# (nothing is downloaded); a native Windows build finds an installed one instead.
set(TAVO_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for the Windows build")
if(TAVO_TESTS AND CMAKE_CROSSCOMPILING AND NOT EXISTS ${TAVO_GTEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${TAVO_GTEST_SOURCE_DIR} (Debian: apt-get install googletest)")
endif()
if(TAVO_TESTS AND NOT TARGET GTest::gtest AND EXISTS ${TAVO_GTEST_SOURCE_DIR}/CMakeLists.txt)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(${TAVO_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # GoogleTest's own sources are not held to the project's warning rules, and its
  # headers are system headers to the tests, as an installed GoogleTest's are.
  foreach(target gtest gtest_main)
    get_target_property(dirs ${target} INTERFACE_INCLUDE_DIRECTORIES)
    set_target_properties(${target} PROPERTIES INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${dirs}")
  endforeach()
  target_compile_options(gtest PRIVATE -Wno-error)
  target_compile_options(gtest_main PRIVATE -Wno-error)
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
endif()

if(CMAKE_CROSSCOMPILING)
  # Test programs run under Wine, in the Wine prefix that tools/windows-test prepares
  # (its COM ports lead to pseudo-terminals). Tests are listed when CTest runs, not
  # at build time, so building needs no Wine.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/tools/wine-run)
  set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
endif()

# Test files written against POSIX interfaces (pseudo-terminals, termios, poll, /proc,
# fork) stay out of the Windows build: a file is one when it includes a POSIX header,
# or a header of the tests that does; so do the tests of the simulated board, a Linux
# program. Windows-only test files end in _windows.cpp.
set(posix_include_regex "#include <(termios|poll|unistd|pty|fcntl|pthread|signal)\\.h>|#include <sys/")
file(GLOB test_files CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/*/*.h ${CMAKE_SOURCE_DIR}/tests/*/*.cpp)
set(posix_headers "")
set(posix_tests "")
foreach(file ${test_files})
  file(STRINGS ${file} posix_lines REGEX "${posix_include_regex}")
  get_filename_component(name ${file} NAME)
  if(posix_lines AND file MATCHES "\\.h$")
    list(APPEND posix_headers ${name})
  elseif(posix_lines)
    list(APPEND posix_tests ${name})
  endif()
endforeach()
foreach(header ${posix_headers})
  string(REPLACE "." "\\." header_regex ${header})
  foreach(file ${test_files})
    file(STRINGS ${file} uses REGEX "#include \"([a-z_]+/)?${header_regex}\"")
    get_filename_component(name ${file} NAME)
    if(uses AND name MATCHES "\\.cpp$")
      list(APPEND posix_tests ${name})
    endif()
  endforeach()
endforeach()
list(REMOVE_DUPLICATES posix_tests)
string(REPLACE "." "\\." posix_tests "${posix_tests}")
string(REPLACE ";" "|" posix_tests "${posix_tests}")
set(TAVO_OTHER_PLATFORM_TESTS "/(${posix_tests}|[a-z_]*_posix\\.cpp|board_[a-z_]*\\.cpp)$")
message(STATUS "Tests left out of the Windows build (POSIX only): ${posix_tests}")
