# Entry points for people and CI. Everything real lives in CMake and scripts/.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
CMAKE_FLAGS ?=
JOBS ?= 2
FUZZ_SECONDS ?= 60
# The short fuzz run that every `make test` includes.
TEST_FUZZ_SECONDS ?= 30

.PHONY: run test test-debian13 deps build asan fuzz format format-check clean package bench

run: build
	$(BUILD_DIR)/orvo

# Unit, script and end-to-end tests (a short soak journey among them), then a short fuzz run of every target.
# No test is run twice: one that fails once is a fault to find.
test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure
	$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=$(TEST_FUZZ_SECONDS)

# The same on Debian 13, in a root made from Debian's archive the first time
# (build-debian13/root, about 3 GB); see scripts/debian13.sh.
test-debian13:
	scripts/debian13.sh make test CMAKE_FLAGS="$(CMAKE_FLAGS)"

deps:
	@scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD_DIR) -j$(JOBS)

# Unit tests of the core under AddressSanitizer and UndefinedBehaviorSanitizer.
asan: deps
	@cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DORVO_SANITIZE=ON -DORVO_BUILD_APP=OFF $(CMAKE_FLAGS) >/dev/null
	cmake --build build-asan -j$(JOBS)
	ctest --test-dir build-asan -L unit --output-on-failure

# Every libFuzzer target for FUZZ_SECONDS each (clang, in build-fuzz); crash
# inputs land in build-fuzz/artifacts/.
fuzz: deps
	ORVO_FUZZ_CMAKE_FLAGS="$(CMAKE_FLAGS)" scripts/fuzz.sh all $(FUZZ_SECONDS)

# The Debian package, from the same build: $(BUILD_DIR)/orvo_*.deb.
package: build
	cd $(BUILD_DIR) && cpack -G DEB

# ORVO against Debian's Chromium, side by side; never part of `make test`.
bench: build
	@bench/setup.sh
	/usr/bin/python3 bench/bench.py --orvo $(BUILD_DIR)/orvo

# The project's own C++ files, found without git: the Debian 13 root holds a
# copy of the tree without its history.
CXX_SOURCES = find src tests bench -name '*.cpp' -o -name '*.h'

format:
	$(CXX_SOURCES) | xargs clang-format -i

format-check:
	$(CXX_SOURCES) | xargs clang-format --dry-run --Werror

clean:
	rm -rf $(BUILD_DIR) build-asan build-fuzz
