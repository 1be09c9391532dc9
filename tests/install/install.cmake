# The installed package in use: sio_echo built outside the tree against it, with
# find_package(Sio) and with pkg-config, and run on a pseudo-terminal pair; and the
# man page rendered without a warning. Included by CMakeLists.txt (not on Windows).
find_program(TAVO_PYTHON3 python3)
if(NOT TAVO_PYTHON3)
  set(TAVO_PYTHON3 python3-not-found)  # the test says "skipped"
endif()
string(REPLACE ";" " " install_test_flags "${TAVO_SANITIZE_FLAGS}")
foreach(mode cmake pkg-config)
  if(mode STREQUAL "cmake")
    set(name InstallFindPackage)
  else()
    set(name InstallPkgConfig)
  endif()
  add_test(NAME ${name} COMMAND bash ${CMAKE_SOURCE_DIR}/tests/install/install_test.sh ${mode}
    ${CMAKE_COMMAND} ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR} ${CMAKE_CXX_COMPILER}
    ${TAVO_PYTHON3} "${install_test_flags}")
  set_tests_properties(${name} PROPERTIES LABELS install SKIP_RETURN_CODE 77 TIMEOUT 300)
endforeach()

add_test(NAME ManPage COMMAND bash ${CMAKE_SOURCE_DIR}/tests/install/man_page_test.sh
  ${CMAKE_SOURCE_DIR}/man/tavo.1)
set_tests_properties(ManPage PROPERTIES LABELS install SKIP_RETURN_CODE 77 TIMEOUT 60)
