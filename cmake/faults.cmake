# Fault injection for the tests: -DFP_FAULTS=ON builds the platform layer with
# the hooks of src/platform/faults.h, which make a chosen file call fail on
# request (FP_FAULT and friends in the environment). Only for a test build of
# its own (make check uses build-faults/); release builds leave it off and
# contain none of it. Linux hosts only: the text streams of the fault build
# are made with the C library's custom streams.
option(FP_FAULTS "Build with fault injection in the platform layer (test builds only)" OFF)
if(FP_FAULTS)
  if(WIN32 OR NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
    message(FATAL_ERROR "FP_FAULTS: fault injection is built for Linux hosts only")
  endif()
  # Public, so that the unit tests see which build they test.
  target_compile_definitions(fpcore PUBLIC FP_FAULTS)
endif()
