# The two commands of the README (make demo, make test) and their helpers. Each installs the
# Debian packages it needs when they are missing, configures once and builds incrementally.
#
#   make check             plain build, whole suite (the quick loop while developing)
#   make test              what CI runs: the suite plain, on real kernel drivers, under
#                          ASan+UBSan and under TSan, then every fuzz target for FUZZ_SECONDS
#                          (30) each, then the Windows cross build and its tests under Wine;
#                          each phase timed
#   make asan / make tsan  one sanitizer build and its suite
#   make fuzz FUZZ_SECONDS=N   every fuzz target for N seconds (clang, libFuzzer)
#   make bench             every benchmark, one table
#   make simulate          the transfer simulation over SIM_RUNS seeds of SIM_PLAN plans (the suite runs 10,000)
#   make test-windows      cross build for Windows (mingw-w64) and its tests under Wine
#   make test-kernel       the serial programs against real kernel drivers (ftdi_sio, 8250)
#                          in Debian's kernel under QEMU
#   make screenshots-windows   docs/windows-tab-N.png, the Windows window under Wine
#   make package-windows   the Windows installer and zip: the programs with locale\ beside them

BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
JOBS ?= 2
# Every build goes through ccache: the same sources compile for five build directories, and a
# machine that builds again (the next run of CI) reuses what it compiled. Paths are taken
# relative to the checkout, so another clone of the same sources hits the same entries.
CMAKE_FLAGS ?= -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1
export CCACHE_MAXSIZE ?= 20G
FUZZ_SECONDS ?= 30
SHELL := /bin/bash
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

# The real-driver tests: QEMU, a static busybox for the guest's initramfs, the harness's
# Python, and Debian's kernel package, downloaded (not installed) and unpacked into
# $(KERNEL_DIR) with its module list made (busybox's depmod: the package ships none).
KERNEL_PACKAGES := qemu-system-x86 busybox-static python3
KERNEL_DIR = $(BUILD)/kernel

PACKAGES := cmake g++ ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev \
            gettext locales qt6-base-dev qt6-base-dev-tools xvfb xauth fonts-dejavu-core \
            dpkg-dev file desktop-file-utils clang libclang-rt-14-dev fonts-liberation ccache \
            ser2net python3-serial nlohmann-json3-dev libssl-dev openssl \
            $(KERNEL_PACKAGES)

# Only the Windows targets need these: the cross compiler (the -posix one has std::thread),
# Wine to run the results (its window under Xvfb, with the fonts Windows has), GoogleTest's
# sources to build it with that compiler, the JSON header (the same one as the Linux build),
# zip and NSIS for the packages.
WIN_BUILD ?= build-win
WIN_PACKAGES := g++-mingw-w64-x86-64-posix wine wine64 googletest zip gcc gettext cmake ninja-build \
                nlohmann-json3-dev \
                fonts-wine nsis xvfb xauth
WIN_PREFIX = $(CURDIR)/$(WIN_BUILD)/wineprefix
WINE_ENV = WINEPREFIX=$(WIN_PREFIX) WINEDEBUG=-all
# Ports mapped through the registry for the port-list test, and their order as text.
WIN_REGISTRY_PORTS := COM2 COM7 COM10
WIN_REGISTRY_ORDER := COM10,COM2,COM7

# The whole suite of a build, its counts held against what the configure registered.
CTEST = QT_QPA_PLATFORM=offscreen python3 tests/counted-ctest.py
CTEST_ARGS = -j $(JOBS) --output-on-failure --timeout 600

# A sanitizer report fails the test that caused it. Leaks count too; Qt's own one-off
# allocations are listed in tests/lsan-qt.supp.
ASAN_ENV = ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:abort_on_error=0:detect_stack_use_after_return=1:strict_init_order=1:check_initialization_order=1 \
           UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
           LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan-qt.supp:print_suppressions=0
# Executables that use Qt also read tests/tsan-qt.supp (linked in, see tests/AddTests.cmake);
# everything else runs with no suppression at all.
TSAN_ENV = TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

.PHONY: test-kernel deps-windows test-windows screenshots-windows package-windows all deps configure build check test asan tsan fuzz fuzz-build bench simulate demo package check-install clean

all: build

# Another apt at work (unattended upgrades on a laptop) holds its locks: wait for it a few
# minutes instead of failing at once.
APT_LOCK_WAIT ?= 300
APT_GET = $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=$(APT_LOCK_WAIT)

deps:
	@missing=$$(for p in $(PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing:" $$missing; \
	  end=$$(( $$(date +%s) + $(APT_LOCK_WAIT) )); \
	  until out=$$($(APT_GET) update -qq 2>&1); do \
	    if ! grep -q 'lock' <<<"$$out" || [ $$(date +%s) -ge $$end ]; then echo "$$out"; exit 1; fi; \
	    echo "apt is busy (another program holds its lock); waiting..."; sleep 5; \
	  done; \
	  $(APT_GET) install -y -qq --no-install-recommends $$missing; \
	fi
	@$(MAKE) --no-print-directory $(KERNEL_DIR)/.ready

$(KERNEL_DIR)/.ready:
	@rm -rf $(KERNEL_DIR) && mkdir -p $(KERNEL_DIR)
	@pkg() { apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[^ ]*\).*/\1/p' | head -n 1; }; \
	name=$$(pkg); [ -n "$$name" ] || { $(APT_GET) update -qq && name=$$(pkg); }; \
	[ -n "$$name" ] || { echo "no linux-image-amd64 in the package lists"; exit 1; }; \
	echo "Downloading $$name (unpacked into $(KERNEL_DIR), not installed)"; \
	cd $(KERNEL_DIR) && apt-get download -qq $$name && \
	dpkg-deb -x $${name}_*.deb root && rm -f $${name}_*.deb && \
	busybox depmod -b root $$(ls root/lib/modules) && touch .ready

deps-windows:
	@missing=$$(for p in $(WIN_PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing:" $$missing; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

$(ASAN_BUILD)/build.ninja:
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DQUORVEL_SANITIZE=address -DQUORVEL_BENCH=OFF $(CMAKE_FLAGS)

$(TSAN_BUILD)/build.ninja:
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DQUORVEL_SANITIZE=thread -DQUORVEL_BENCH=OFF $(CMAKE_FLAGS)

# libFuzzer needs clang; the fuzz targets and everything they link carry ASan+UBSan.
$(FUZZ_BUILD)/build.ninja:
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DQUORVEL_FUZZ=ON -DQUORVEL_SANITIZE=address -DQUORVEL_GUI=OFF -DQUORVEL_TESTS=OFF \
	  -DQUORVEL_BENCH=OFF $(CMAKE_FLAGS)

configure: deps $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

check: build
	$(CTEST) check $(BUILD) $(CTEST_ARGS)

asan: deps $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	$(ASAN_ENV) $(CTEST) asan $(ASAN_BUILD) $(CTEST_ARGS)

tsan: deps $(TSAN_BUILD)/build.ninja
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	$(TSAN_ENV) $(CTEST) tsan $(TSAN_BUILD) $(CTEST_ARGS)

# The whole transfer on a virtual clock over many seeded fault schedules; a failing seed is
# printed with its schedule and replays with `quorvel-transfersim --seed N`.
SIM_RUNS ?= 2000000
SIM_FIRST ?= 0
SIM_PLAN ?= faults
simulate: configure
	cmake --build $(BUILD) -j $(JOBS) --target quorvel-transfersim
	$(BUILD)/bin/quorvel-transfersim --plan $(SIM_PLAN) --runs $(SIM_RUNS) --first $(SIM_FIRST)

fuzz-build: deps $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target quorvel_fuzz

# Each target starts from its seed corpus in fuzz/corpus/<name>/ and adds what it finds in
# $(FUZZ_BUILD)/corpus/<name>/ (kept out of the repository); fuzz/<name>.flags adds libFuzzer
# options of its own (a dictionary, longer inputs). A crash leaves its input in
# $(FUZZ_BUILD)/crashes/ and fails the run. The stack is 1 MB, half of what a Windows
# program's main thread gets, so input that needs deep recursion crashes here first. The
# targets run are those the configure listed in fuzz-targets.txt, and their count is checked.
fuzz: fuzz-build
	@mkdir -p $(FUZZ_BUILD)/crashes; failed=""; ran=0; ulimit -s 1024; \
	targets=$$(cat $(FUZZ_BUILD)/fuzz-targets.txt); \
	for target in $$targets; do \
	  bin=$(FUZZ_BUILD)/bin/$$target; name=$${target#fuzz_}; log=$(FUZZ_BUILD)/$$target.log; \
	  [ -x $$bin ] || { echo "fuzz $$name: not built"; failed=1; continue; }; \
	  ran=$$((ran + 1)); \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$name; \
	  flags=$$(cat fuzz/$$name.flags 2>/dev/null); \
	  if $(ASAN_ENV) $$bin -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=2048 \
	      $$flags -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/crashes/$$name- \
	      $(FUZZ_BUILD)/corpus/$$name fuzz/corpus/$$name >$$log 2>&1; then \
	    echo "fuzz $$name: $(FUZZ_SECONDS) s, $$(grep -o 'number_of_executed_units: *[0-9]*' $$log | grep -o '[0-9]*$$') runs, nothing found"; \
	  else \
	    tail -n 60 $$log; echo "fuzz $$name: FAILED (input in $(FUZZ_BUILD)/crashes/)"; failed=1; \
	  fi; \
	done; \
	registered=$$(wc -w <<<"$$targets"); \
	echo "== fuzz: $$registered targets registered, $$ran run, $${failed:+not }all passed"; \
	test -z "$$failed" -a "$$ran" = "$$registered" -a "$$ran" -gt 0

# CI: every phase runs even when an earlier one failed, so one run shows everything; the
# time of each phase is printed at the end.
# Each phase prints a line "== <name>: N ... registered, ... run"; a phase that prints none
# fails too, and those lines are shown again at the end.
test: deps
	@failed=""; report=""; counts=""; mkdir -p $(BUILD); \
	for phase in check test-kernel asan tsan fuzz test-windows; do \
	  start=$$(date +%s); log=$(BUILD)/phase-$$phase.log; \
	  $(MAKE) --no-print-directory $$phase FUZZ_SECONDS=$(FUZZ_SECONDS) 2>&1 | tee $$log; \
	  status=$${PIPESTATUS[0]}; \
	  line=$$(grep -E '^== [a-z]+: [0-9]+ .*registered' $$log | tail -n 1); \
	  [ -n "$$line" ] || { line="== $$phase: printed no counts"; status=1; }; \
	  [ $$status = 0 ] || failed="$$failed $$phase"; \
	  counts="$$counts$$line\n"; \
	  report="$$report$$phase: $$(( $$(date +%s) - start )) s\n"; \
	done; \
	printf "== test counts\n$$counts"; \
	printf "== phase times\n$$report"; \
	if [ -n "$$failed" ]; then echo "== FAILED:$$failed"; exit 1; fi; echo "== all phases passed"

bench: build
	@sh bench/run.sh $(BUILD)/bin

# The updater against a simulated board: the simulator's pseudo-terminal is linked as
# $(SIM_LINK), which the updater's port list shows. Needs a display (a desktop session, or
# ssh -X); making the link in /dev needs root or sudo.
SIM_LINK ?= /dev/ttyQSIM0

demo: build
	@if [ -z "$$DISPLAY" ]; then \
	  echo "make demo opens the updater's window and needs a display, but DISPLAY is empty."; \
	  echo "Run it from a desktop session or over 'ssh -X'."; \
	  exit 1; \
	fi
	@out=$$(mktemp); \
	$(BUILD)/bin/quorvel-boardsim > "$$out" & sim=$$!; \
	trap 'kill $$sim 2>/dev/null; $(SUDO) rm -f $(SIM_LINK); rm -f "$$out"' EXIT INT TERM; \
	for i in $$(seq 50); do [ -s "$$out" ] && break; sleep 0.1; done; \
	pts=$$(head -n 1 "$$out"); \
	[ -n "$$pts" ] || { echo "the board simulator did not start"; exit 1; }; \
	$(SUDO) ln -sfn "$$pts" $(SIM_LINK) || exit 1; \
	echo "Simulated board on $$pts, listed as $$(basename $(SIM_LINK))."; \
	echo "Pick it, click 'Abrir', then on 'Atualização' click 'Conectar' and 'Iniciar Atualização'."; \
	$(BUILD)/bin/quorvel-updater

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) $(WIN_BUILD)

# The Debian packages, build/quorvel-flash_<version>_<arch>.deb and (with the window)
# build/quorvel-updater_<version>_<arch>.deb.
package: build
	cmake --build $(BUILD) --target package

# Checks that package with lintian and appstreamcli, then installs it on a fresh debootstrap
# chroot and runs it there (root, needs the mirror).
check-install: package
	@for tool in debootstrap:debootstrap lintian:lintian appstreamcli:appstream; do \
	  command -v $${tool%%:*} >/dev/null || $(APT_GET) install -y -qq $${tool##*:} || exit 1; \
	done
	$(SUDO) packaging/check-clean-install.sh $$(ls -t $(BUILD)/quorvel-flash_*.deb | head -n 1)

# ---- Real drivers ---------------------------------------------------------------------------
# The guest boots from an initramfs made at test time, mounts this machine's root read-only and
# runs the plain build's programs there (tests/kernel/run.py says how). The modem-line library
# answers for the UART's host-side pseudo-terminal, so the guest sees lines the test sets.
$(KERNEL_DIR)/libquorvel-modemlines.so: tests/win32/modemlines.c
	@mkdir -p $(@D)
	cc -Wall -Wextra -O2 -shared -fPIC -o $@ $< -ldl

test-kernel: deps $(BUILD)/build.ninja $(KERNEL_DIR)/libquorvel-modemlines.so
	cmake --build $(BUILD) -j $(JOBS) --target quorvel-flash quorvel-boardsim serial_tests kernel_tests
	python3 tests/kernel/run.py $(BUILD) $(KERNEL_DIR)/root $(KERNEL_DIR)/libquorvel-modemlines.so

# ---- Windows ------------------------------------------------------------------------------
# The cross build runs its build-time helper through Wine, so the private prefix comes first.
# Creating it is slow (once); it also maps $(WIN_REGISTRY_PORTS) through the registry, which
# Wine reads when its server starts.
$(WIN_PREFIX)/.quorvel-ready:
	@mkdir -p $(WIN_BUILD)
	@echo "Creating the Wine prefix $(WIN_PREFIX) (once)"
	$(WINE_ENV) WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >$(WIN_BUILD)/wineboot.log 2>&1
	@# The window's font: Wine lists "MS Sans Serif" but finds its file only among the prefix's.
	cp /usr/share/wine/fonts/sserife.fon $(WIN_PREFIX)/drive_c/windows/Fonts/
	@for p in $(WIN_REGISTRY_PORTS); do \
	  $(WINE_ENV) wine reg add 'HKLM\Software\Wine\Ports' /v $$p /d /dev/null /f >>$(WIN_BUILD)/wineboot.log 2>&1 || exit 1; \
	done
	$(WINE_ENV) wineserver -k 2>/dev/null || true; $(WINE_ENV) wineserver -w
	touch $@

$(WIN_BUILD)/build.ninja: | $(WIN_PREFIX)/.quorvel-ready
	cmake -S . -B $(WIN_BUILD) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake $(CMAKE_FLAGS) \
	  -DQUORVEL_GUI=OFF -DQUORVEL_BENCH=OFF -DQUORVEL_GTEST_SOURCE=/usr/src/googletest

# Linux helpers of the Windows tests: two pseudo-terminals back to back as COM5/COM6, and
# the modem lines Wine reads from COM5.
$(WIN_BUILD)/host/quorvel-ptybridge: tests/win32/ptybridge.c
	@mkdir -p $(@D)
	cc -Wall -Wextra -O2 -o $@ $<
$(WIN_BUILD)/host/libquorvel-modemlines.so: tests/win32/modemlines.c
	@mkdir -p $(@D)
	cc -Wall -Wextra -O2 -shared -fPIC -o $@ $< -ldl

# Every test program of the Windows build under Wine, the flasher and the window against board
# simulators (tests/win32/run.sh); the simulator is a Linux program from the native build.
test-windows: deps deps-windows $(WIN_PREFIX)/.quorvel-ready $(WIN_BUILD)/build.ninja \
              $(WIN_BUILD)/host/quorvel-ptybridge $(WIN_BUILD)/host/libquorvel-modemlines.so \
              $(BUILD)/build.ninja
	$(WINE_ENV) JOBS=$(JOBS) tests/win32/run.sh $(WIN_BUILD) $(BUILD) $(WIN_REGISTRY_ORDER)

# Pictures of the four tabs of the Windows window for docs/ (Wine under Xvfb).
screenshots-windows: deps-windows $(WIN_PREFIX)/.quorvel-ready $(WIN_BUILD)/build.ninja
	cmake --build $(WIN_BUILD) -j $(JOBS) --target win32_window_screenshots
	@command -v convert >/dev/null || $(APT_GET) install -y -qq --no-install-recommends imagemagick
	@mkdir -p $(WIN_BUILD)/shots
	cd $(WIN_BUILD) && xvfb-run -a env $(WINE_ENV) wine bin/win32_window_screenshots.exe shots
	for i in 0 1 2 3; do convert $(WIN_BUILD)/shots/windows-tab-$$i.bmp docs/windows-tab-$$i.png || exit 1; done

package-windows: deps-windows $(WIN_PREFIX)/.quorvel-ready $(WIN_BUILD)/build.ninja
	cmake --build $(WIN_BUILD) -j $(JOBS) --target package-windows
	@zip -sf $(WIN_BUILD)/quorvel-*-windows.zip >$(WIN_BUILD)/zip-contents.txt && \
	for f in /quorvel-updater.exe /quorvel-flash.exe /LEIA-ME.txt \
	         /locale/pt_BR/LC_MESSAGES/quorvel-flash.mo; do \
	  grep -q -- "-windows$$f$$" $(WIN_BUILD)/zip-contents.txt || { echo "zip lacks $$f"; exit 1; }; \
	done
	xvfb-run -a env $(WINE_ENV) timeout 300 packaging/windows/check-installer.sh \
	  $$(ls -t $(WIN_BUILD)/quorvel-*-setup.exe | head -n 1) 2>>$(WIN_BUILD)/wine.log
