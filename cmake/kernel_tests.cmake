# The C++ tests of the numerical kernels, without Python: every build of the
# frame loops the target has, and the portable build beside them, against
# plain recursions.  ctest runs them (under CMAKE_CROSSCOMPILING_EMULATOR
# in a cross build).

find_package(doctest REQUIRED)
enable_testing()

add_executable(kernel_tests tests/kernels/main.cpp tests/kernels/test_frame_loops.cpp
  tests/kernels/test_least_fast_mass.cpp
  src/plintor/model/kernels/dispatch.cpp)
set(tested_isas ${PLINTOR_ISA_BUILDS} portable)
list(REMOVE_DUPLICATES tested_isas)
foreach(isa IN LISTS tested_isas)
  if(NOT TARGET frames_${isa})
    plintor_frame_loops(${isa})
  endif()
  target_sources(kernel_tests PRIVATE $<TARGET_OBJECTS:frames_${isa}>)
endforeach()
target_compile_options(kernel_tests PRIVATE ${PLINTOR_CXX_FLAGS})
target_link_options(kernel_tests PRIVATE ${PLINTOR_SANITIZE_FLAGS})
target_link_libraries(kernel_tests PRIVATE doctest::doctest)
add_test(NAME kernel_tests COMMAND kernel_tests)
