# The two commands a newcomer runs: `make demo` and `make test`.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
CMAKE_GEN  := -G Ninja

.PHONY: deps build test asan demo install package bench fuzz clean

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

# Root is needed for /opt/apps/cn.luvaro.dorvent/bin and the font aliases.
SUDO := $(shell [ "$$(id -u)" -eq 0 ] || echo sudo)

install: build
	$(SUDO) cmake --install $(BUILD)

demo: install
	@echo
	@echo "Dorvent with the emulated reader: ws://localhost:17798"
	@echo "Open web/index.html in a browser and press \"open\"; stop the service with Ctrl-C."
	@echo
	$(BUILD)/dorvent-emu -platform offscreen

# The Debian package (build/dorvent_VERSION_ARCH.deb); see README, "Install".
package: build
	cmake --build $(BUILD) --target package

bench: build
	@for b in $(BUILD)/bench/*; do [ -x "$$b" ] && [ -f "$$b" ] && "$$b"; done; true

fuzz: deps
	bash fuzz/run.sh 60

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
