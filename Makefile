# Set-up and everyday commands.  Every target creates the virtual
# environment and installs the package into it first, so each one works on
# a fresh checkout.

VENV := .venv
PY := $(VENV)/bin/python

.PHONY: test demo bench install clean

# Runs the whole test suite.
test: install
	$(PY) -m pytest

# Decodes the built-in example: beats, F-measure and decode time.
demo: install
	$(PY) -m plintor.model

# Speed and memory of the kernels beside their baselines.
bench: install
	$(PY) bench/run.py

install: $(PY)
	$(PY) -m pip install --quiet ".[test,plot]"

$(PY):
	PYTHON_313=$$(sh tools/find-python.sh) && "$$PYTHON_313" -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

clean:
	rm -rf $(VENV) build
