# Entry points: `make test` (install what is missing, build with warnings as errors, run ctest),
# `make demo` and `make package` (the Debian packages datasync and datasync-tools, written to
# BUILD_DIR). BUILD_DIR and CMAKE_ARGS may be overridden, e.g. for sanitizer builds.
#
# Quiet builds: a build with nothing to do prints one line, and one that compiles prints what it
# compiles and links and every warning and error in full, but none of make's directory and
# "Built target" lines. Sub-makes (those of cmake --build too) inherit --no-print-directory.
BUILD_DIR ?= build
CMAKE_ARGS ?=
JOBS ?= $(shell nproc)
MAKEFLAGS += --no-print-directory
# pipefail: a failed build fails the recipe even though its output goes through a filter.
SHELL := /bin/bash
.SHELLFLAGS := -o pipefail -c

DEB_PACKAGES := build-essential cmake pkg-config libsqlite3-dev libjsoncpp-dev libcurl4-openssl-dev \
	libssl-dev libfmt-dev libspdlog-dev libcpp-httplib-dev libcli11-dev libgtest-dev libgmock-dev \
	libbenchmark-dev openssl sqlite3
# Packaging and its checks: man pages, dpkg-shlibdeps (and the file utility cpack runs),
# lintian, systemd-analyze, deb-systemd-helper.
DEB_PACKAGES += help2man dpkg-dev file lintian systemd init-system-helpers

.PHONY: all deps promtool configure build test demo package clean format fuzz

all: build

deps:
	@missing=""; for p in $(DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  SUDO=""; [ "$$(id -u)" = 0 ] || SUDO=sudo; \
	  $$SUDO apt-get update -qq >/dev/null && \
	  DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq --no-install-recommends $$missing >/dev/null; \
	fi

# promtool (Debian's prometheus package) checks the metrics text in the tests. Installing that
# package would also start a Prometheus server, so it is unpacked into BUILD_DIR/tools instead.
promtool: deps
	@command -v promtool >/dev/null || [ -x $(BUILD_DIR)/tools/usr/bin/promtool ] || { \
	  mkdir -p $(BUILD_DIR)/tools && cd $(BUILD_DIR)/tools && \
	  apt-get download -qq prometheus >/dev/null 2>&1 && dpkg-deb -x prometheus_*.deb . && rm -f prometheus_*.deb usr/bin/prometheus; } || \
	  echo "promtool: cannot fetch Debian's prometheus package; the metrics format check will be skipped"

configure: deps promtool
	@cmake -S . -B $(BUILD_DIR) -DDATASYNC_WERROR=ON $(CMAKE_ARGS) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) 2>&1 | awk '/\] Built target |^Consolidate compiler generated dependencies/ { next } \
	  { print; fflush(); shown++ } END { if (!shown) print "build: $(BUILD_DIR) is up to date" }'

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

demo: build
	@if [ -x $(BUILD_DIR)/apps/datasyncctl/datasyncctl ]; then \
	  $(BUILD_DIR)/apps/datasyncctl/datasyncctl demo; \
	else echo "demo: not yet"; fi

package: build
	@cd $(BUILD_DIR) && cpack -G DEB

# Fuzzing (tests/fuzz): the fuzz targets built with clang, libFuzzer and ASan/UBSan in
# FUZZ_BUILD_DIR, each run for FUZZ_SECONDS on its seed corpus.
FUZZ_BUILD_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
fuzz: DEB_PACKAGES += clang libclang-rt-14-dev
fuzz: deps
	cmake -S . -B $(FUZZ_BUILD_DIR) -DDATASYNC_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Fuzz \
	  -DDATASYNC_WERROR=ON -DDATASYNC_BUILD_BENCH=OFF -DDATASYNC_PACKAGE=OFF $(CMAKE_ARGS) >/dev/null
	cmake --build $(FUZZ_BUILD_DIR) -j $(JOBS)
	tests/fuzz/run.sh $(FUZZ_BUILD_DIR) $(FUZZ_SECONDS)

format:
	find src apps tests bench -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR)
