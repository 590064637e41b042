# Entry points for people and CI. Everything real lives in CMake and scripts/.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
CMAKE_FLAGS ?=
JOBS ?= 2

.PHONY: run test deps build asan format format-check clean

run: build
	$(BUILD_DIR)/orvo

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure

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

format:
	git ls-files -- '*.cpp' '*.h' | xargs clang-format -i

format-check:
	git ls-files -- '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

clean:
	rm -rf $(BUILD_DIR) build-asan
