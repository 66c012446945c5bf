# The extension module plintor.model._kernels.

# Any CPython from 3.11 on; scikit-build-core points FindPython at the
# interpreter that runs the build.  A cross build cannot run the target's
# interpreter: it names the target's headers (Python_INCLUDE_DIR) and
# NumPy's (NUMPY_INCLUDE_DIR) itself.
if(NUMPY_INCLUDE_DIR)
  find_package(Python 3.11 REQUIRED COMPONENTS Development.Module)
else()
  find_package(Python 3.11 REQUIRED COMPONENTS Interpreter Development.Module)
  execute_process(
    COMMAND "${Python_EXECUTABLE}" -c "import numpy; print(numpy.get_include())"
    OUTPUT_VARIABLE NUMPY_INCLUDE_DIR
    OUTPUT_STRIP_TRAILING_WHITESPACE
    COMMAND_ERROR_IS_FATAL ANY)
endif()

set(KERNEL_SOURCES
  src/plintor/model/kernels/dispatch.cpp
  src/plintor/model/_kernels/binding.cpp
  src/plintor/model/_kernels/decode.cpp
  src/plintor/model/_kernels/forward_decoder.cpp
  src/plintor/model/_kernels/forward_step.cpp
  src/plintor/model/_kernels/function.cpp
  src/plintor/model/_kernels/decoder_layout.cpp
  src/plintor/model/_kernels/module.cpp
  src/plintor/model/_kernels/numpy_calls.cpp
  src/plintor/model/_kernels/split_layout.cpp)

python_add_library(_kernels MODULE WITH_SOABI ${KERNEL_SOURCES})
target_include_directories(_kernels SYSTEM PRIVATE ${NUMPY_INCLUDE_DIR}
  ${PROJECT_SOURCE_DIR}/third_party/pythoncapi_compat)
# Built against NumPy 2 headers, usable with every NumPy from 1.23 on.
target_compile_definitions(_kernels PRIVATE
  NPY_NO_DEPRECATED_API=NPY_1_23_API_VERSION
  NPY_TARGET_VERSION=NPY_1_23_API_VERSION)
target_compile_options(_kernels PRIVATE ${PLINTOR_CXX_FLAGS})
# The sanitizer runtimes, when the units are instrumented.
target_link_options(_kernels PRIVATE ${PLINTOR_SANITIZE_FLAGS})
# Only PyInit__kernels leaves the shared object.  Apple's linker has no
# such flag; there the hidden visibility above does the work.
if(NOT APPLE)
  target_link_options(_kernels PRIVATE -Wl,--exclude-libs,ALL)
endif()

# Every build of the frame loops.
foreach(isa IN LISTS PLINTOR_ISA_BUILDS)
  target_sources(_kernels PRIVATE $<TARGET_OBJECTS:frames_${isa}>)
endforeach()

install(TARGETS _kernels LIBRARY DESTINATION plintor/model)
