# quillan: the one entry point for people and CI.
#
#   make build   the two Windows drivers and the 64- and 32-bit host builds
#   make test    everything, plus the sanitizer builds, then every test suite
#   make demo    everything, then the main job
#   make package the two driver packages (quillan.sys and its INF), one folder per system
#   make explore the controlled-concurrency explorer's long campaign over every
#                scenario (EXPLORE_SECONDS per scenario and strategy, default 30)
#   make bench   quillan-bench: throughput, latency and cost on the USB timing model;
#                writes docs/bench/ (table, CSV, plots)
#   make wine-test  both packages installed and driven under Wine's kernel
#   make clean   remove the build folders
#
# Each build lives in its own folder under $(BUILD), is configured once with
# CMake and built with Ninja. Override BUILD to build elsewhere.

BUILD   ?= build
WINDOWS := $(abspath $(BUILD)/windows)
PACKAGE := $(abspath $(BUILD)/package)

# Configure options of each build. Host builds know where the Windows build
# puts the drivers and where the packages are, for the tests that check them.
SHIPPED         := -DQUILLAN_SYS_DIR=$(WINDOWS) -DQUILLAN_PACKAGE_DIR=$(PACKAGE)
OPTIONS_windows := -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
OPTIONS_host64  := $(SHIPPED)
OPTIONS_host32  := $(SHIPPED) -DQUILLAN_M32=ON
OPTIONS_asan    := $(SHIPPED) -DQUILLAN_SANITIZE=address
OPTIONS_tsan    := $(SHIPPED) -DQUILLAN_SANITIZE=thread

# Ninja already uses every core; builds run one after another.
.NOTPARALLEL:
.PHONY: build test demo demo-run bench package clean explore wine-test

# The Windows build comes first: the host test suites read its drivers.
build: windows package host64 host32

# One folder per system, holding what a person installs from.
package: windows
	for target in xp w2k; do \
	  mkdir -p $(PACKAGE)/$$target && \
	  cp $(WINDOWS)/$$target/quillan.sys package/quillan.inf $(PACKAGE)/$$target/ || exit 1; \
	done

test: build asan tsan
	cd $(BUILD)/host64 && ctest --output-on-failure
	cd $(BUILD)/host32 && ctest --output-on-failure
	cd $(BUILD)/asan && ctest --output-on-failure
	cd $(BUILD)/tsan && ctest --output-on-failure
	$(MAKE) wine-test

demo: build demo-run

# The main job: the driver on the simulated kernel through a whole device
# life. Pass options with SIM_OPTIONS, e.g. make demo SIM_OPTIONS=--quiet.
demo-run:
	$(BUILD)/host64/tools/quillan-sim $(SIM_OPTIONS)
	@echo "Driver packages: $(PACKAGE)/xp and $(PACKAGE)/w2k"

# Every scenario of the explorer under each strategy for EXPLORE_SECONDS,
# with schedules per second and the first failing schedule of each.
EXPLORE_SECONDS ?= 30
explore: host64
	QUILLAN_EXPLORE_SECONDS=$(EXPLORE_SECONDS) $(BUILD)/host64/tests/quillan_tests \
	  --gtest_filter='ExploreCampaign.*'

# The benchmark needs only the 64-bit host build; gnuplot draws its plots
# (installed with apt-get when missing, through sudo when not root).
BENCH_DIR := docs/bench
bench: host64
	@command -v gnuplot >/dev/null || { as_root=; [ "$$(id -u)" = 0 ] || as_root=sudo; \
	  DEBIAN_FRONTEND=noninteractive $$as_root apt-get install -y --no-install-recommends gnuplot-nox; }
	mkdir -p $(BENCH_DIR)
	@# The plots are drawn whatever the checks said; the bench's verdict is make's.
	status=0; $(BUILD)/host64/tools/quillan-bench --out $(BENCH_DIR) || status=$$?; \
	  gnuplot -e "dir='$(BENCH_DIR)'" tools/quillan-bench/plots.gp && exit $$status

# The shipped drivers on a second, independently written kernel: each
# package installed from its own INF in a fresh 32-bit Wine prefix and
# driven through kernel32's serial API (tests/wine/run says how).
wine-test: windows package
	tests/wine/run $(WINDOWS) $(PACKAGE) $(BUILD)/wine

clean:
	rm -rf $(addprefix $(BUILD)/,windows package host64 host32 asan tsan wine)

# Configure a build folder once (again when this Makefile changes), then
# let Ninja bring it up to date.
.PHONY: windows host64 host32 asan tsan
windows host64 host32 asan tsan: %: $(BUILD)/%/build.ninja
	ninja -C $(BUILD)/$*

$(BUILD)/%/build.ninja: Makefile
	cmake -S . -B $(BUILD)/$* -G Ninja $(OPTIONS_$*)
