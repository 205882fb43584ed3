# Entry points: `make test` (install what is missing, build with warnings as errors, run ctest)
# and `make demo`. BUILD_DIR and CMAKE_ARGS may be overridden, e.g. for sanitizer builds.
BUILD_DIR ?= build
CMAKE_ARGS ?=
JOBS ?= $(shell nproc)

DEB_PACKAGES := build-essential cmake pkg-config libsqlite3-dev libjsoncpp-dev libcurl4-openssl-dev \
	libssl-dev libfmt-dev libspdlog-dev libcpp-httplib-dev libcli11-dev libgtest-dev libgmock-dev \
	libbenchmark-dev openssl sqlite3

.PHONY: all deps configure build test demo clean format

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

configure: deps
	cmake -S . -B $(BUILD_DIR) -DDATASYNC_WERROR=ON $(CMAKE_ARGS) >/dev/null

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

demo: build
	@if [ -x $(BUILD_DIR)/apps/datasyncctl/datasyncctl ]; then \
	  $(BUILD_DIR)/apps/datasyncctl/datasyncctl demo; \
	else echo "demo: not yet"; fi

format:
	find src apps tests bench -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR)
