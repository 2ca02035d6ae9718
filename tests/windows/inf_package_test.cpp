// The driver package: the INF installs quillan.sys as a function driver in
// the Ports class for the device the simulated bus models, every section it
// names exists, and every file it copies is in each package folder.
// QUILLAN_PACKAGE_DIR names the folder `make package` fills.
#include "windows/inf_file.h"

#include "sim/usb/devices/layouts.h"

#include "support/gtest.h"

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

const std::string kSourceInf = std::string(QUILLAN_SOURCE_DIR) + "/package/quillan.inf";

// The install sections of the models the manufacturer lists.
std::vector<std::string> InstallSections(const inf::File& file) {
  std::vector<std::string> sections;
  for (const inf::Line& manufacturer : file.Section("Manufacturer")) {
    for (const inf::Line& model : file.Section(manufacturer.values.at(0))) sections.push_back(model.values.at(0));
  }
  return sections;
}

}  // namespace

TEST(DriverPackage, TheInfInstallsAPortsClassFunctionDriverForTheModelledDevice) {
  inf::File file(ReadText(kSourceInf));
  for (const std::string& problem : file.Problems()) ADD_FAILURE() << problem;
  EXPECT_EQ(file.Value("Version", "Signature"), "$Windows NT$");
  EXPECT_EQ(file.Value("Version", "Class"), "Ports");
  EXPECT_EQ(inf::Lower(file.Value("Version", "ClassGuid")), "{4d36e978-e325-11ce-bfc1-08002be10318}");

  // The hardware ID is the one the simulated device reports, so what the
  // tests run is what the package installs.
  char hardwareId[32];
  std::snprintf(hardwareId, sizeof hardwareId, "usb\\vid_%04x&pid_%04x", sim::usb::layouts::kVendorId,
                sim::usb::layouts::kProductId);
  std::vector<std::string> installs = InstallSections(file);
  ASSERT_EQ(installs.size(), 1u);
  bool found = false;
  for (const inf::Line& manufacturer : file.Section("Manufacturer")) {
    for (const inf::Line& model : file.Section(manufacturer.values.at(0))) {
      found |= model.values.size() > 1 && inf::Lower(model.values[1]) == hardwareId;
    }
  }
  EXPECT_TRUE(found) << "no model for " << hardwareId;

  for (const std::string& install : installs) {
    for (const char* suffix : {".NT", ".NT.HW", ".NT.Services"}) {
      EXPECT_TRUE(file.HasSection(install + suffix)) << install + suffix;
    }
    for (const char* directive : {"CopyFiles", "AddReg"}) {
      for (const std::string& section : file.Values(install + ".NT", directive)) {
        EXPECT_TRUE(file.HasSection(section)) << directive << " names a missing section " << section;
      }
    }
    for (const std::string& section : file.Values(install + ".NT.HW", "AddReg")) {
      EXPECT_TRUE(file.HasSection(section)) << section;
    }
    // One service, the function driver of the device, a kernel driver.
    std::vector<inf::Line> services = file.Section(install + ".NT.Services");
    ASSERT_EQ(services.size(), 1u);
    ASSERT_GE(services[0].values.size(), 3u);
    EXPECT_EQ(services[0].values[0], "quillan");
    EXPECT_EQ(std::stoul(services[0].values[1], nullptr, 0) & 0x2, 0x2u) << "SPSVCINST_ASSOCSERVICE: the function driver";
    const std::string service = services[0].values[2];
    EXPECT_EQ(file.Value(service, "ServiceType"), "1");
    EXPECT_EQ(file.Value(service, "ServiceBinary"), "%12%\\quillan.sys");
  }
}

class DriverPackageFolder : public ::testing::TestWithParam<const char*> {};

TEST_P(DriverPackageFolder, HoldsTheInfAndEveryFileItCopies) {
#ifndef QUILLAN_PACKAGE_DIR
  GTEST_SKIP() << "QUILLAN_PACKAGE_DIR is not set: configure with -DQUILLAN_PACKAGE_DIR=<folder> (make test does)";
#else
  const std::string folder = std::string(QUILLAN_PACKAGE_DIR) + "/" + GetParam();
  std::string text = ReadText(folder + "/quillan.inf");
  ASSERT_FALSE(text.empty()) << folder << "/quillan.inf is missing (make package)";
  EXPECT_EQ(text, ReadText(kSourceInf)) << "the package carries the INF as written";
  inf::File file(text);

  std::set<std::string> onDisk;
  for (const inf::Line& line : file.Section("SourceDisksFiles")) {
    onDisk.insert(line.key);
    std::ifstream present(folder + "/" + line.key);
    EXPECT_TRUE(present.good()) << folder << " lacks " << line.key;
  }
  for (const std::string& install : InstallSections(file)) {
    for (const std::string& section : file.Values(install + ".NT", "CopyFiles")) {
      for (const inf::Line& copied : file.Section(section)) {
        EXPECT_EQ(onDisk.count(inf::Lower(copied.values.at(0))), 1u) << copied.values.at(0) << " is copied but not on the disk";
      }
    }
  }
  EXPECT_EQ(onDisk.count("quillan.sys"), 1u);
#endif
}

INSTANTIATE_TEST_SUITE_P(Targets, DriverPackageFolder, ::testing::Values("xp", "w2k"));
