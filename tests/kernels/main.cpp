// The C++ tests of the numerical kernels: doctest's own main.
#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>
