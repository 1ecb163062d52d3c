# libFuzzer targets (tests/fuzz), one per reader of the tool. Configured only
# with -DFP_FUZZ=ON and clang; the release and test builds never see this.
#
# The tool's sources are compiled once more with FP_FUZZ defined and then
# linked into one relocatable object with --wrap for the C allocation
# functions, so that the run seam (src/ending/runseam.cpp) records only the
# tool's own blocks and frees them after each input.
option(FP_FUZZ "Build the libFuzzer targets of tests/fuzz (clang only)" OFF)

if(FP_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "FP_FUZZ needs clang++ (libFuzzer); configure with "
                        "-DCMAKE_CXX_COMPILER=clang++")
  endif()
  set(FP_FUZZ_FLAGS -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                    -fno-omit-frame-pointer -g -O1)

  add_library(fpfuzzobjs OBJECT ${FP_SOURCES})
  target_include_directories(fpfuzzobjs PUBLIC ${CMAKE_SOURCE_DIR}/src)
  target_compile_definitions(fpfuzzobjs PUBLIC FP_FUZZ PRIVATE ${FP_CORE_DEFINITIONS})
  target_compile_options(fpfuzzobjs PUBLIC ${FP_FUZZ_FLAGS})

  set(FP_FUZZ_CORE ${CMAKE_BINARY_DIR}/fpcorefuzz.o)
  add_custom_command(
    OUTPUT ${FP_FUZZ_CORE}
    COMMAND ${CMAKE_LINKER} -r -o ${FP_FUZZ_CORE} --wrap=malloc --wrap=calloc
            --wrap=realloc --wrap=free $<TARGET_OBJECTS:fpfuzzobjs>
    DEPENDS fpfuzzobjs $<TARGET_OBJECTS:fpfuzzobjs>
    COMMAND_EXPAND_LISTS
    COMMENT "Linking the tool's objects for the fuzz targets")
  add_custom_target(fpcorefuzz DEPENDS ${FP_FUZZ_CORE})

  add_custom_target(fuzzers)
  foreach(target types input manifest scan sums)
    add_executable(fuzz_${target} ${CMAKE_SOURCE_DIR}/tests/fuzz/fuzz_${target}.cpp
                                  ${CMAKE_SOURCE_DIR}/tests/fuzz/harness.cpp)
    target_include_directories(fuzz_${target} PRIVATE ${CMAKE_SOURCE_DIR}/src
                                                      ${CMAKE_SOURCE_DIR}/tests/fuzz)
    target_compile_definitions(fuzz_${target} PRIVATE FP_FUZZ)
    target_compile_options(fuzz_${target} PRIVATE ${FP_FUZZ_FLAGS})
    target_link_options(fuzz_${target} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_libraries(fuzz_${target} PRIVATE ${FP_FUZZ_CORE})
    set_target_properties(fuzz_${target} PROPERTIES LINK_DEPENDS ${FP_FUZZ_CORE})
    add_dependencies(fuzz_${target} fpcorefuzz)
    add_dependencies(fuzzers fuzz_${target})
  endforeach()

  # The checks of the seam itself: a plain program on the same objects.
  add_executable(seamcheck ${CMAKE_SOURCE_DIR}/tests/fuzz/seamcheck.cpp
                           ${CMAKE_SOURCE_DIR}/tests/fuzz/harness.cpp)
  target_include_directories(seamcheck PRIVATE ${CMAKE_SOURCE_DIR}/src
                                               ${CMAKE_SOURCE_DIR}/tests/fuzz)
  target_compile_definitions(seamcheck PRIVATE FP_FUZZ)
  target_compile_options(seamcheck PRIVATE ${FP_FUZZ_FLAGS})
  target_link_options(seamcheck PRIVATE -fsanitize=address,undefined)
  target_link_libraries(seamcheck PRIVATE ${FP_FUZZ_CORE})
  set_target_properties(seamcheck PROPERTIES LINK_DEPENDS ${FP_FUZZ_CORE})
  add_dependencies(seamcheck fpcorefuzz)
  add_dependencies(fuzzers seamcheck)
endif()
