# Everything lives in .venv and build/; both commands set themselves up.
SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
VPIP := $(VPY) -m pip
CMAKE := $(VENV)/bin/cmake
DEB_PACKAGES := g++ libcli11-dev libgtest-dev
PY_TOOLS := scikit-build-core cmake ninja pytest hypothesis mypy
JOBS := $(shell nproc 2>/dev/null || echo 2)
SOURCES := $(shell find src ovaline-stubs -type f) CMakeLists.txt pyproject.toml

.PHONY: demo test deps install cpp-test py-test sanitize bench format clean

demo: install
	$(VPY) examples/demo.py

test: install cpp-test py-test

deps:
	@missing=""; for p in $(DEB_PACKAGES); do \
	    dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	    if [ "$$(id -u)" = 0 ]; then \
	        echo "Installing Debian packages:$$missing"; \
	        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq$$missing; \
	    else \
	        echo "Missing Debian packages. Run as root:"; \
	        echo "    apt-get install -y$$missing"; \
	        exit 1; \
	    fi; \
	fi

$(VENV)/.tools: | deps
	$(PYTHON) -m venv $(VENV)
	$(VPIP) install -q $(PY_TOOLS)
	touch $@

$(VENV)/.installed: $(VENV)/.tools $(SOURCES)
	$(VPIP) install -q --no-build-isolation .
	touch $@

install: deps $(VENV)/.installed

build/cpp/.configured: $(VENV)/.tools CMakeLists.txt
	$(CMAKE) -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=Debug -DOVALINE_BUILD_PYTHON=OFF -DOVALINE_BUILD_TESTS=ON
	touch $@

cpp-test: deps build/cpp/.configured
	$(CMAKE) --build build/cpp -j $(JOBS)
	cd build/cpp && ../../$(VENV)/bin/ctest --output-on-failure -j $(JOBS)

# The Python tests, then the examples and the stubs under the type checker.
py-test: install
	$(VPY) -m pytest -q tests/python
	$(VPY) -m mypy --strict examples
	$(VPY) -m mypy.stubtest --allowlist ovaline-stubs/stubtest-allowlist.txt ovaline

# The core's C++ tests under AddressSanitizer with UBSan, then under ThreadSanitizer.
sanitize: deps $(VENV)/.tools
	for s in address thread; do \
	    $(CMAKE) -S . -B build/$$s -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOVALINE_BUILD_PYTHON=OFF \
	        -DOVALINE_BUILD_TESTS=ON -DOVALINE_SANITIZE=$$s && \
	    $(CMAKE) --build build/$$s -j $(JOBS) && \
	    (cd build/$$s && TSAN_OPTIONS=halt_on_error=1 ASAN_OPTIONS=detect_leaks=1 \
	        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ../../$(VENV)/bin/ctest --output-on-failure -j $(JOBS)) || exit 1; \
	done

# The tools users would pick instead, measured beside ovaline in one run.
bench: install
	$(VPIP) install -q fs pyfakefs setuptools
	$(VPY) bench/bench_fs.py

format:
	clang-format -i $$(find src tests/cpp bench -name '*.cpp' -o -name '*.hpp')

clean:
	rm -rf build $(VENV)
