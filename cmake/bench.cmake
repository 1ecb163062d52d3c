# Google Benchmark micro-benchmarks of the hot functions (bench/micro_*.cpp).
# Built only with -DFP_BENCH=ON (`make bench-micro` does that in build-bench/),
# so normal builds and `make check` never need the library.
option(FP_BENCH "Build the micro-benchmarks in bench/" OFF)

if(FP_BENCH)
  find_package(benchmark REQUIRED)
  file(GLOB FP_MICRO_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/bench/micro_*.cpp)
  foreach(src ${FP_MICRO_SOURCES})
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src})
    target_link_libraries(${name} PRIVATE fpcore benchmark::benchmark_main)
  endforeach()
endif()
