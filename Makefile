# The two commands of README.md: `make run` and `make test`.
BUILD      ?= build
BUILD_ASAN ?= build-asan
JOBS       ?= 2
CMAKE_ARGS ?=

.PHONY: all deps build run serve test test-plain test-asan format format-check install clean

all: build

deps:
	@scripts/deps.sh

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS)

$(BUILD_ASAN)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD_ASAN) -DCMAKE_BUILD_TYPE=Debug -DTARVELO_ASAN=ON -DTARVELO_WERROR=ON $(CMAKE_ARGS)

# Opens the desktop program in a working folder where the default root and secure folders exist.
run: build
	@mkdir -p RootFolder/SecureFolder
	$(BUILD)/tarvelo-ftp

# The same server without a window; Ctrl+C stops it.
serve: build
	@mkdir -p RootFolder/SecureFolder
	$(BUILD)/tarvelo-ftpd

test-plain: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

test-asan: deps $(BUILD_ASAN)/CMakeCache.txt
	cmake --build $(BUILD_ASAN) -j$(JOBS)
	cd $(BUILD_ASAN) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --output-on-failure -j$(JOBS)

test: format-check test-plain test-asan

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

format-check:
	@clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.h')

install: build
	cmake --install $(BUILD) --prefix $(or $(PREFIX),$(HOME)/.local)

clean:
	rm -rf $(BUILD) $(BUILD_ASAN)

# Speed figures, against pyftpdlib and openssl when installed, into bench/results/; BENCH_SMALL=1
# runs tiny sizes in a minute or two.
.PHONY: bench
bench: deps
	bench/run.sh
