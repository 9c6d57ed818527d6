# The two commands a newcomer runs: `make demo` and `make test`.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
CMAKE_GEN  := -G Ninja

.PHONY: deps build test asan vmtest demo install package bench fuzz clean

deps:
	@bash scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
asan: deps
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DDORVENT_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

# The VM test alone (also part of `make test`): the real service and the
# installed package in a QEMU guest, with the virtual reader on its USB bus.
vmtest: build
	/usr/bin/python3 tests/vm/vmtest.py --build $(BUILD)

# Root is needed for /opt/apps/cn.luvaro.dorvent/bin and the font aliases.
SUDO := $(shell [ "$$(id -u)" -eq 0 ] || echo sudo)

install: build
	$(SUDO) cmake --install $(BUILD)

# Only what the demo needs: the emulated service and the card templates (no
# test packages). It says each step, then where the page and the service are.
DEMO_APP_DIR := /opt/apps/cn.luvaro.dorvent/bin
DEMO_FONTS   := /etc/fonts/conf.d
DEMO_PORTS   := 17798 17799

demo:
	@bash scripts/install-deps.sh demo
	@echo "demo: configuring the build in $(BUILD)/"
	@cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo --log-level=WARNING
	@echo "demo: building dorvent-emu and the card templates (the first build takes a few minutes)"
	@cmake --build $(BUILD) -j $(JOBS) --target dorvent-emu card_templates
	@echo "demo: installing the card templates front.jpg, back.jpg into $(DEMO_APP_DIR)/"
	@echo "      (the service also writes its card pictures there) and font aliases into $(DEMO_FONTS)/"
	@$(SUDO) install -d $(DEMO_APP_DIR)
	@$(SUDO) install -m 0644 $(BUILD)/packaging/front.jpg $(BUILD)/packaging/back.jpg $(DEMO_APP_DIR)/
	@$(SUDO) install -m 0644 packaging/fonts/30-dorvent-aliases.conf $(DEMO_FONTS)/
	@for port in $(DEMO_PORTS); do \
	  holder=$$(ss -Hltnp "sport = :$$port" 2>/dev/null | grep -o 'users:.*' | head -n 1); \
	  if [ -n "$$holder" ]; then \
	    echo "demo: port $$port is already taken ($$holder): stop that program first" >&2; exit 1; \
	  fi; \
	done
	@echo
	@echo "The demo page:   file://$(CURDIR)/web/index.html"
	@echo "                 open it in a browser and press \"open\""
	@echo "The service:     ws://localhost:17798 (every address), with the emulated reader"
	@echo "Its reader's control channel: ws://127.0.0.1:17799 (loopback only)"
	@echo "A first page:    file://$(CURDIR)/examples/idcard.html"
	@echo "Stop the service with Ctrl-C."
	@echo
	$(BUILD)/dorvent-emu -platform offscreen

# The Debian package (build/dorvent_VERSION_ARCH.deb); see README, "Install".
package: build
	cmake --build $(BUILD) --target package

bench: build
	@for b in $(BUILD)/bench/*; do [ -x "$$b" ] && [ -f "$$b" ] && "$$b" $$([ "$${b##*/}" = ws_bench ] && echo --short); done; true

fuzz: deps
	bash fuzz/run.sh 60

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
