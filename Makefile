# Set-up, build, run and test on Debian 12. Run as root for `deps` (apt-get).
SHELL := /bin/bash
BUILD ?= build
JOBS ?= $(shell nproc)
DEB_PACKAGES := g++ cmake ninja-build make pkg-config zlib1g-dev libgtest-dev libgmock-dev \
  libbenchmark-dev libcurl4-openssl-dev libcpp-httplib-dev clang libclang-rt-14-dev \
  libasio-dev libsystemd-dev libjemalloc-dev libsodium-dev libssl-dev media-types chromium chromium-driver \
  python3-selenium dpkg-dev lintian nginx-light
CMAKE_GEN := -G Ninja

.PHONY: all deps build run test asan tsan fuzz bench package clean

all: build

# Installs only what dpkg says is missing, so a provisioned machine needs no network.
deps:
	@missing=""; for p in $(DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  export DEBIAN_FRONTEND=noninteractive; \
	  (apt-get install -y --no-install-recommends $$missing || (apt-get update && apt-get install -y --no-install-recommends $$missing)); \
	fi

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

# Starts the server on its defaults in ./run (created on first use); Ctrl-C shuts it down.
run: build
	mkdir -p run
	cp -rn httpdocs run/ 2>/dev/null || true
	cd run && exec ../$(BUILD)/parleon-server

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 600

asan: deps
	cmake -S . -B build-asan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPARLEON_SANITIZE=address -DPARLEON_BENCH=OFF
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS) --timeout 900

tsan: deps
	cmake -S . -B build-tsan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPARLEON_SANITIZE=thread -DPARLEON_BENCH=OFF
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS="halt_on_error=1 suppressions=$(CURDIR)/tests/tsan.supp" ctest --output-on-failure -j $(JOBS) --timeout 900

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPARLEON_FUZZ=ON
	cmake --build build-fuzz -j $(JOBS)

bench: build
	@for b in $(BUILD)/bench/*_bench; do echo "== $$b"; $$b; done

# The Debian package (build/parleon-server_<version>_<arch>.deb).
package: build
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz
