# The two commands of README.md: `make run` and `make test`.
BUILD      ?= build
BUILD_ASAN ?= build-asan
BUILD_TSAN ?= build-tsan
BUILD_FUZZ ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_RUNS  ?= -1
FUZZERS    := command_line virtual_paths port_argument cry_decrypt
JOBS       ?= 2
# Unity batches: each folder's sources compile as a few units, so Qt's headers are parsed a few
# times per build instead of once per file (about half the build time).
CMAKE_ARGS ?= -DCMAKE_UNITY_BUILD=ON

.PHONY: all deps build run serve test test-plain test-asan test-tsan fuzz format format-check install deb clean

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

# The same server without a window; Ctrl+C stops it. Options go in ARGS, e.g. ARGS="--port 2121".
serve: build
	@mkdir -p RootFolder/SecureFolder
	$(BUILD)/tarvelo-ftpd $(ARGS)

test-plain: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

test-asan: deps $(BUILD_ASAN)/CMakeCache.txt
	cmake --build $(BUILD_ASAN) -j$(JOBS)
	cd $(BUILD_ASAN) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --output-on-failure -j$(JOBS)

# The engine's tests under ThreadSanitizer; the suppressions cover Qt's uninstrumented internals only.
# Left out: real_clients (it runs tarvelo-ftpd, a separate process without the test programs'
# hand-over annotations).
# QT_NO_GLIB=1: Qt's own event dispatcher, as tarvelo-ftpd runs; glib's closes each thread's wake-up
# descriptor at the thread's end with no ordering TSan can see against the threads that woke it.
# die_after_fork=0: tls runs openssl and python3 while the server's threads run; each child execs at once.
$(BUILD_TSAN)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD_TSAN) -DCMAKE_BUILD_TYPE=Debug -DTARVELO_TSAN=ON -DTARVELO_GUI=OFF -DTARVELO_WERROR=ON $(CMAKE_ARGS)

test-tsan: deps $(BUILD_TSAN)/CMakeCache.txt
	cmake --build $(BUILD_TSAN) -j$(JOBS)
	cd $(BUILD_TSAN) && QT_NO_GLIB=1 TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 die_after_fork=0 suppressions=$(CURDIR)/tests/tsan.supp" \
		ctest --output-on-failure -j$(JOBS) -E real_clients

# Builds the libFuzzer targets with clang and runs each for FUZZ_SECONDS or FUZZ_RUNS executions,
# whichever ends first (0 and -1 lift them), starting from the seeds in fuzz/corpus; what a run
# learns stays in $(BUILD_FUZZ)/corpus. Scratch files go to tmpfs when /dev/shm exists.
$(BUILD_FUZZ)/CMakeCache.txt: | deps
	CC=clang-14 CXX=clang++-14 cmake -S . -B $(BUILD_FUZZ) -DCMAKE_BUILD_TYPE=Debug -DTARVELO_FUZZ=ON \
		-DTARVELO_GUI=OFF $(CMAKE_ARGS)

fuzz: deps $(BUILD_FUZZ)/CMakeCache.txt
	cmake --build $(BUILD_FUZZ) -j$(JOBS) --target $(addprefix fuzz_,$(FUZZERS))
	@set -e; for f in $(FUZZERS); do \
		mkdir -p $(BUILD_FUZZ)/corpus/$$f; \
		log=$(BUILD_FUZZ)/fuzz_$$f.log; \
		TMPDIR=$$(test -d /dev/shm && echo /dev/shm || echo /tmp) UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
			$(BUILD_FUZZ)/fuzz/fuzz_$$f -max_total_time=$(FUZZ_SECONDS) -runs=$(FUZZ_RUNS) \
			-close_fd_mask=2 -print_final_stats=1 -artifact_prefix=$(BUILD_FUZZ)/fuzz_$$f- \
			$(BUILD_FUZZ)/corpus/$$f fuzz/corpus/$$f >$$log 2>&1 \
			|| { tail -n 60 $$log; echo "fuzz_$$f failed: the input is $(BUILD_FUZZ)/fuzz_$$f-*"; exit 1; }; \
		echo "fuzz_$$f: $$(grep -E '^stat::number_of_executed_units' $$log | grep -oE '[0-9]+$$') runs," \
			"$$(grep -E '^Done ' $$log | grep -oE 'in [0-9]+ second')s"; \
	done

test: format-check test-plain test-asan bench-smoke

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

format-check:
	@clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.h')

install: build
	cmake --install $(BUILD) --prefix $(or $(PREFIX),$(HOME)/.local)

# The Debian package of the same files, written into $(BUILD)/.
deb: build
	scripts/make-deb.sh $(BUILD) $(BUILD)

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_TSAN) $(BUILD_FUZZ)

# testssl.sh --starttls ftp against tarvelo-ftpd --tls require: fails on a finding rated HIGH or CRITICAL.
.PHONY: tls-scan
tls-scan: build
	scripts/tls-scan.sh $(BUILD)

# Speed figures beside vsftpd, pure-ftpd and pyftpdlib (bench/run.sh fetches or installs them from
# Debian) and openssl enc, into bench/results/; BENCH_SMALL=1 runs tiny sizes in a minute or two.
.PHONY: bench bench-smoke
bench: deps
	bench/run.sh

# The suite at tiny sizes on the test build, so that it keeps working; its figures mean nothing.
bench-smoke: build
	BENCH_SMALL=1 BENCH_BUILD=$(BUILD) bench/run.sh >/dev/null
