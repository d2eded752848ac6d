# The two commands of the README (make demo, make test) and their helpers. Each installs the
# Debian packages it needs when they are missing, configures once and builds incrementally.

BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

PACKAGES := cmake g++ ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev \
            gettext locales qt6-base-dev qt6-base-dev-tools xvfb xauth fonts-dejavu-core \
            dpkg-dev file desktop-file-utils

.PHONY: all deps configure build test demo bench package check-install clean

all: build

deps:
	@missing=$$(for p in $(PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing:" $$missing; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

configure: deps $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest -j $(JOBS) --output-on-failure

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
	rm -rf $(BUILD)

# The Debian package, build/quorvel-updater_<version>_<arch>.deb.
package: build
	cmake --build $(BUILD) --target package

# Installs that package on a fresh debootstrap chroot and runs it there (root, needs the mirror).
check-install: package
	@command -v debootstrap >/dev/null || DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq debootstrap
	$(SUDO) packaging/check-clean-install.sh $$(ls -t $(BUILD)/quorvel-updater_*.deb | head -n 1)
