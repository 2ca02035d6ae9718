// The shipped drivers themselves: each quillan.sys of the Windows build is a
// native i386 image that imports only allowed kernel, HAL and USBD routines.
// QUILLAN_SYS_DIR names the Windows build folder (make test sets it).
#include "sim/ldr/pe_image.h"
#include "windows/driver_image_check.h"

#include "support/gtest.h"

#include <string>
#include <vector>

namespace {

class ShippedDriver : public ::testing::TestWithParam<const char*> {
 protected:
  // The driver's path, or empty (and the test skipped) without a Windows build.
  std::string Path() const {
#ifdef QUILLAN_SYS_DIR
    return std::string(QUILLAN_SYS_DIR) + "/" + GetParam() + "/quillan.sys";
#else
    return "";
#endif
  }

  // Reads the driver; fails the test when it is not there.
  std::vector<uint8_t> Load(const std::string& path) {
    std::vector<uint8_t> bytes;
    std::string error;
    EXPECT_TRUE(sim::ldr::ReadWholeFile(path, &bytes, &error))
        << error << " (build the Windows drivers first: make build)";
    return bytes;
  }
};

#define SKIP_WITHOUT_WINDOWS_BUILD(path)                                                                   \
  if ((path).empty()) {                                                                                    \
    GTEST_SKIP() << "QUILLAN_SYS_DIR is not set, so there are no drivers to check: configure the host "    \
                    "build with -DQUILLAN_SYS_DIR=<Windows build folder> (make test does)";               \
  }

TEST_P(ShippedDriver, IsANativeI386ImageImportingOnlyAllowedRoutines) {
  std::string path = Path();
  SKIP_WITHOUT_WINDOWS_BUILD(path);
  std::vector<uint8_t> bytes = Load(path);
  ASSERT_FALSE(bytes.empty()) << path << " is empty";
  std::vector<std::string> problems = driver_image::Check(bytes);
  for (const std::string& problem : problems) ADD_FAILURE() << path << ": " << problem;
  if (!problems.empty()) ADD_FAILURE() << path << " imports:\n" << driver_image::DescribeImports(bytes);
}

TEST_P(ShippedDriver, IsBuiltForItsSystemVersion) {
  std::string path = Path();
  SKIP_WITHOUT_WINDOWS_BUILD(path);
  std::vector<uint8_t> bytes = Load(path);
  sim::ldr::PeImage image;
  std::string error;
  ASSERT_TRUE(sim::ldr::ReadPeImage(bytes.data(), bytes.size(), &image, &error)) << path << ": " << error;
  const uint16_t minor = std::string(GetParam()) == "xp" ? 1 : 0;  // XP is 5.1, 2000 is 5.0
  EXPECT_EQ(image.majorOsVersion, 5) << path;
  EXPECT_EQ(image.minorOsVersion, minor) << path;
  EXPECT_EQ(image.majorSubsystemVersion, 5) << path;
  EXPECT_EQ(image.minorSubsystemVersion, minor) << path;
  EXPECT_EQ(image.fileCharacteristics & 0x2000, 0) << path << " is marked as a DLL";
  EXPECT_EQ(image.Directory(sim::ldr::kExportDirectory).size, 0u) << path << " exports symbols";
}

INSTANTIATE_TEST_SUITE_P(Windows, ShippedDriver, ::testing::Values("xp", "w2k"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

}  // namespace
