# The benchmarks (make bench, bench/run): tavo-bench, the driver that starts the
# programs under test on pseudo-terminal pairs and prints the table; bench-sio, a
# small program on the Sio library (an idle port, bytes through it); bench-floor,
# the plain loops the round trips are compared with. A short run is a test.
file(GLOB BENCH_DRIVER_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/bench/*.cpp)
list(FILTER BENCH_DRIVER_SOURCES EXCLUDE REGEX "/(sio_program|floor_program)\\.cpp$")
add_executable(tavo-bench ${BENCH_DRIVER_SOURCES})
target_link_libraries(tavo-bench PRIVATE util Threads::Threads)
set_target_properties(tavo-bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
add_dependencies(tavo-bench tavo)

add_executable(bench-floor ${CMAKE_SOURCE_DIR}/bench/floor_program.cpp)
set_target_properties(bench-floor PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
add_dependencies(tavo-bench bench-floor)

add_executable(bench-sio ${CMAKE_SOURCE_DIR}/bench/sio_program.cpp)
target_link_libraries(bench-sio PRIVATE sio)
set_target_properties(bench-sio PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
add_dependencies(tavo-bench bench-sio)

# The short run keeps the benchmarks building and running; it fails only when something
# is broken (bytes lost or changed, a program that does not start or answer), never
# on a figure.
if(TAVO_TESTS)
  add_test(NAME BenchShort COMMAND tavo-bench --short)
  set_tests_properties(BenchShort PROPERTIES TIMEOUT 300 LABELS bench)
endif()
