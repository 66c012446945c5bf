# Set-up and everyday commands.  Every target creates the virtual
# environment and installs the package into it first, so each one works on
# a fresh checkout.

# The interpreter's version (`make test PYTHON_VERSION=3.11`); PYTHON picks a
# specific interpreter of that version.  Each version other than the default
# gets an environment of its own.
PYTHON_VERSION := 3.13
VENV := $(if $(filter 3.13,$(PYTHON_VERSION)),.venv,.venv-$(PYTHON_VERSION))
PY := $(VENV)/bin/python

# The sanitizer build lives in its own environment and build directory, so
# that it never replaces the ordinary build.
ASAN_VENV := .venv-asan
ASAN_PY := $(ASAN_VENV)/bin/python
# The interpreter is not instrumented: the ASan runtime is preloaded (with
# libstdc++, whose __cxa_throw ASan must find when it starts), and Python's
# allocator is bypassed so that ASan sees every allocation.  Leaks
# are left to tests/test_sanitizer.py, which runs LeakSanitizer on a
# workload of its own and tells the interpreter's leaks from ours.
SANITIZER_ENV := LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	PYTHONMALLOC=malloc \
	ASAN_OPTIONS=halt_on_error=1:abort_on_error=0:detect_leaks=0:allocator_may_return_null=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:strict_string_checks=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	PLINTOR_SANITIZER=asan

# The build valgrind runs: the release flags plus debug information.
MEMCHECK_VENV := .venv-memcheck
MEMCHECK_PY := $(MEMCHECK_VENV)/bin/python
VALGRIND := valgrind --tool=memcheck --error-exitcode=99 --errors-for-leak-kinds=none \
	--leak-check=no --track-origins=yes --num-callers=40 \
	--suppressions=tools/valgrind-python.supp

# A build with clang, beside the default one (g++).
CLANG_VENV := .venv-clang
CLANG_PY := $(CLANG_VENV)/bin/python

# The oldest Python and the oldest NumPy the package supports.
OLDEST_PYTHON := 3.11
OLDEST_NUMPY := numpy==1.23.2
OLDEST_VENV := .venv-oldest
OLDEST_PY := $(OLDEST_VENV)/bin/python

# CMake from PyPI: Debian 12's is older than the build needs.
CMAKE := $(VENV)/bin/cmake
CTEST := $(VENV)/bin/ctest
KERNEL_TESTS := -DCMAKE_BUILD_TYPE=Release -DPLINTOR_EXTENSION=OFF -DPLINTOR_KERNEL_TESTS=ON
AARCH64 := -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# Debian's aarch64 CPython 3.11 and NumPy, unpacked (tools/aarch64-root.sh).
AARCH64_ROOT := $(CURDIR)/build/aarch64-root

.PHONY: test test-asan test-clang test-oldest-numpy test-kernels test-aarch64 valgrind \
	valgrind-deps clang-deps kernel-test-deps aarch64-deps check-dist fuzz demo bench install \
	install-asan install-memcheck install-clang clean

# Runs the whole test suite.
test: install
	$(PY) -m pytest

# Runs the whole test suite against an ASan + UBSan build; any report fails it.
# Output is captured at the Python level only, so that a report written just
# before the process ends still reaches the terminal.
test-asan: install-asan
	$(SANITIZER_ENV) $(ASAN_PY) -m pytest -p no:cacheprovider --capture=sys

# Runs the whole test suite against a build made with clang.
test-clang: install-clang
	$(CLANG_PY) -m pytest

# Runs the whole test suite on the oldest Python with the oldest NumPy.
test-oldest-numpy:
	$(MAKE) $(OLDEST_PY) PYTHON_VERSION=$(OLDEST_PYTHON)
	$(OLDEST_PY) -m pip install --quiet "$(OLDEST_NUMPY)" ".[test,plot,eval]"
	$(OLDEST_PY) -m pytest

# Builds the C++ tests of the numerical kernels and runs them with ctest;
# checks that no frame-loop build holds a fused multiply-add.
test-kernels: $(CMAKE) kernel-test-deps
	$(CMAKE) -S . -B build/kernel-tests $(KERNEL_TESTS) $(CMAKE_ARGS)
	$(CMAKE) --build build/kernel-tests -j 2
	$(CTEST) --test-dir build/kernel-tests --verbose
	sh tools/check-no-fma.sh objdump build/kernel-tests

# The same for aarch64, cross-compiled and run under qemu-aarch64; then
# every unit of the extension cross-compiled against Debian's aarch64
# CPython 3.11 headers (and NumPy's, whose sizes are those of aarch64 too),
# and part of the test suite run against it under qemu.
test-aarch64: $(CMAKE) aarch64-deps
	$(CMAKE) -S . -B build/aarch64-tests $(AARCH64) $(KERNEL_TESTS) $(CMAKE_ARGS)
	$(CMAKE) --build build/aarch64-tests -j 2
	$(CTEST) --test-dir build/aarch64-tests --verbose
	sh tools/aarch64-root.sh $(AARCH64_ROOT)
	$(CMAKE) -S . -B build/aarch64-extension $(AARCH64) -DCMAKE_BUILD_TYPE=Release \
		-DPython_INCLUDE_DIR=$(AARCH64_ROOT)/usr/include/python3.11 \
		-DCMAKE_CXX_FLAGS="-isystem $(AARCH64_ROOT)/usr/include" \
		-DNUMPY_INCLUDE_DIR="$$($(PY) -c 'import numpy; print(numpy.get_include())')" \
		$(CMAKE_ARGS)
	$(CMAKE) --build build/aarch64-extension -j 2
	sh tools/check-no-fma.sh aarch64-linux-gnu-objdump build/aarch64-tests build/aarch64-extension
	sh tools/aarch64-pytest.sh $(AARCH64_ROOT) build/aarch64-extension/_kernels.so $(PY) \
		build/aarch64-stage

# Builds the sdist, and the wheel from it, into dist/ and checks what each holds.
check-dist: $(PY)
	rm -rf dist
	$(PY) -m pip install --quiet build
	$(PY) -m build --outdir dist .
	$(PY) tools/check_dist.py dist

# The builds of the frame loops, each checked in a process of its own.
ISA_BUILDS := sse2 avx2 avx512

# Runs every entry point, on success and failure paths, under valgrind memcheck,
# once per build of the frame loops that valgrind's processor runs.
valgrind: install-memcheck
	for isa in $(ISA_BUILDS); do \
		PLINTOR_KERNEL_ISA=$$isa PYTHONMALLOC=malloc $(VALGRIND) $(MEMCHECK_PY) \
			tools/memcheck_cases.py || exit 1; \
	done

# Installs valgrind with apt-get when it is missing (CI runs as root).
valgrind-deps:
	command -v valgrind >/dev/null || (apt-get update -qq && apt-get install -y -qq valgrind)

# Installs clang with apt-get when it is missing (CI runs as root).
clang-deps:
	command -v clang++ >/dev/null || (apt-get update -qq && apt-get install -y -qq clang)

# Installs doctest, and for aarch64 the cross compiler and qemu, with
# apt-get when they are missing.
kernel-test-deps:
	test -f /usr/include/doctest/doctest.h || \
		(apt-get update -qq && apt-get install -y -qq doctest-dev)

aarch64-deps: kernel-test-deps
	command -v aarch64-linux-gnu-g++ >/dev/null && command -v qemu-aarch64 >/dev/null || \
		(apt-get update -qq && apt-get install -y -qq g++-aarch64-linux-gnu qemu-user)

# Long fuzzing run of every entry point with bad input (minutes).
fuzz: install
	PLINTOR_HYPOTHESIS_PROFILE=fuzz $(PY) -m pytest tests/test_fuzz.py -q

# Decodes the built-in example: beats, scores and decode time.
demo: install
	$(PY) -m plintor.model

# Speed and memory of the kernels beside their baselines.
bench: install
	$(PY) bench/run.py

# Builds and installs the package into .venv, unless no file the build reads
# has changed since the last install (the stamp lives in .venv, so a new
# environment always installs).
SOURCES := $(shell find src cmake third_party -type f -not -path '*/__pycache__/*') \
	pyproject.toml CMakeLists.txt
install: $(VENV)/.installed

$(VENV)/.installed: $(SOURCES) | $(PY)
	$(PY) -m pip install --quiet ".[test,plot,eval]"
	touch $@

# Builds and installs the sanitizer build into .venv-asan.
install-asan: $(ASAN_PY)
	$(ASAN_PY) -m pip install --quiet -Cbuild-dir=build/asan \
		-Ccmake.define.PLINTOR_SANITIZE=ON -Cinstall.strip=false ".[test,plot,eval]"

# Builds and installs the release build with debug information into .venv-memcheck.
install-memcheck: $(MEMCHECK_PY)
	$(MEMCHECK_PY) -m pip install --quiet -Cbuild-dir=build/memcheck \
		-Ccmake.define.CMAKE_CXX_FLAGS=-g -Cinstall.strip=false .

# Builds and installs the package with clang into .venv-clang.
install-clang: $(CLANG_PY) clang-deps
	CC=clang CXX=clang++ $(CLANG_PY) -m pip install --quiet -Cbuild-dir=build/clang \
		".[test,plot,eval]"

$(CMAKE): $(PY)
	$(PY) -m pip install --quiet "cmake>=3.26"

$(PY) $(ASAN_PY) $(MEMCHECK_PY) $(CLANG_PY) $(OLDEST_PY): %/bin/python:
	BASE_PYTHON=$$(sh tools/find-python.sh $(PYTHON_VERSION)) && "$$BASE_PYTHON" -m venv $*
	$@ -m pip install --quiet --upgrade pip

# Removes the environments and the build directories.
clean:
	rm -rf .venv .venv-* build
