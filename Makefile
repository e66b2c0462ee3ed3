# The two commands of the README:
#   make backtest   run a backtest on the built-in offline broker
#   make test       run the whole test suite (and build the documentation)
# Each creates its virtual environment and builds the package on first use.

PY ?= 3.11
PYTHON := $(shell tools/find-python $(PY))
VENV ?= .venv-$(PY)
SOURCES := pyproject.toml CMakeLists.txt $(shell find src examples -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.txt')
PIP_INSTALL = $(VENV)/bin/python -m pip install -q --disable-pip-version-check

# The documentation is built by one interpreter, whose environment also gets the docs extra.
DOCS_PY := 3.11
EXTRAS := test,sweep
ifeq ($(PY),$(DOCS_PY))
EXTRAS := test,sweep,docs
endif

.PHONY: test test-all asan backtest bench docs clean

# The suite runs twice: with the native shortcuts for calls whose result is known, and with
# QUORVEL_NO_FAST_PATHS=1, where every such call is made for real.  Then, on the documentation's
# interpreter, mypy checks src/ (pyproject.toml's [tool.mypy]) and the documentation is built.
test: $(VENV)/.installed
	$(VENV)/bin/python -m pytest -q
	QUORVEL_NO_FAST_PATHS=1 $(VENV)/bin/python -m pytest -q -p no:cacheprovider
ifeq ($(PY),$(DOCS_PY))
	$(VENV)/bin/python -m mypy
	$(MAKE) docs
endif

# The documentation (docs/, mkdocs.yml) as a web site in build/site/; a warning, such as a broken
# link or a docstring that cannot be read, fails the build.  NO_MKDOCS_2_WARNING silences the
# theme's notice about MkDocs 2, which says nothing about these pages.
docs: $(VENV)/.installed
	@test "$(PY)" = "$(DOCS_PY)" || { echo "the documentation is built with PY=$(DOCS_PY)" >&2; exit 1; }
	NO_MKDOCS_2_WARNING=1 $(VENV)/bin/python -m mkdocs build --strict --quiet

# Every supported interpreter (the classifiers of pyproject.toml), then the sanitizer build:
# what CI runs.
PYTHONS := 3.9 3.10 3.11 3.12 3.13

test-all:
	for version in $(PYTHONS); do $(MAKE) test PY=$$version || exit 1; done
	$(MAKE) asan

$(VENV)/.installed: $(SOURCES)
	@test -n "$(PYTHON)" || { echo "Python $(PY) is required" >&2; exit 1; }
	test -x $(VENV)/bin/python || $(PYTHON) -m venv $(VENV)
	$(PIP_INSTALL) --upgrade pip
	$(PIP_INSTALL) scikit-build-core cmake ninja
	$(PIP_INSTALL) --no-build-isolation -Cbuild-dir=build/$(VENV) '.[$(EXTRAS)]'
	touch $@

# The extension modules built with AddressSanitizer and UndefinedBehaviorSanitizer, and their
# tests run against them. The interpreter itself is not instrumented: the sanitizer
# runtimes are preloaded, allocations go through malloc, and leak detection is off because the
# interpreter keeps memory until exit.
ASAN_VENV := .venv-asan
ASAN_RUNTIME = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)

asan: $(ASAN_VENV)/.installed
	LD_PRELOAD="$(ASAN_RUNTIME)" PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	$(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider tests/unit/modules tests/process/test_exit.py

$(ASAN_VENV)/.installed: $(SOURCES)
	test -x $(ASAN_VENV)/bin/python || $(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/python -m pip install -q --disable-pip-version-check scikit-build-core cmake ninja
	QUORVEL_SANITIZE=ON $(ASAN_VENV)/bin/python -m pip install -q --disable-pip-version-check \
		--no-build-isolation -Cbuild-dir=build/asan '.[test]'
	touch $@

clean:
	rm -rf build .venv-* 

# A backtest on the built-in offline broker; options after ARGS, e.g.
#   make backtest ARGS="--codes 2317 MXFR1 --window 1"
backtest: $(VENV)/.installed
	$(VENV)/bin/quorvel-backtest $(ARGS)

# The benchmark table of benchmarks/README.md (about a minute; keep the machine otherwise idle).
bench: $(VENV)/.installed
	$(VENV)/bin/python benchmarks/bench.py
