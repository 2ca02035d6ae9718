# quillan: the one entry point for people and CI.
#
#   make build   the two Windows drivers and the 64- and 32-bit host builds
#   make test    everything, plus the sanitizer builds, then every test suite
#   make demo    everything, then the main job
#   make clean   remove the build folders
#
# Each build lives in its own folder under $(BUILD), is configured once with
# CMake and built with Ninja. Override BUILD to build elsewhere.

BUILD   ?= build
WINDOWS := $(abspath $(BUILD)/windows)

# Configure options of each build. Host builds know where the Windows build
# puts the drivers, for the test that checks what the drivers import.
OPTIONS_windows := -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
OPTIONS_host64  := -DQUILLAN_SYS_DIR=$(WINDOWS)
OPTIONS_host32  := -DQUILLAN_SYS_DIR=$(WINDOWS) -DQUILLAN_M32=ON
OPTIONS_asan    := -DQUILLAN_SYS_DIR=$(WINDOWS) -DQUILLAN_SANITIZE=address
OPTIONS_tsan    := -DQUILLAN_SYS_DIR=$(WINDOWS) -DQUILLAN_SANITIZE=thread

# Ninja already uses every core; builds run one after another.
.NOTPARALLEL:
.PHONY: build test demo demo-run clean

# The Windows build comes first: the host test suites read its drivers.
build: windows host64 host32

test: build asan tsan
	cd $(BUILD)/host64 && ctest --output-on-failure
	cd $(BUILD)/host32 && ctest --output-on-failure
	cd $(BUILD)/asan && ctest --output-on-failure
	cd $(BUILD)/tsan && ctest --output-on-failure

demo: build demo-run

# The main job. The demo program (tools/quillan-sim) will run from here;
# until it exists, this shows where the drivers are.
demo-run:
	@echo "Windows XP driver:   $(WINDOWS)/xp/quillan.sys"
	@echo "Windows 2000 driver: $(WINDOWS)/w2k/quillan.sys"

clean:
	rm -rf $(addprefix $(BUILD)/,windows host64 host32 asan tsan)

# Configure a build folder once (again when this Makefile changes), then
# let Ninja bring it up to date.
.PHONY: windows host64 host32 asan tsan
windows host64 host32 asan tsan: %: $(BUILD)/%/build.ninja
	ninja -C $(BUILD)/$*

$(BUILD)/%/build.ninja: Makefile
	cmake -S . -B $(BUILD)/$* -G Ninja $(OPTIONS_$*)
