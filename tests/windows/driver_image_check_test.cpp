// The driver image check on images built in memory: it accepts a driver
// that imports only allowed routines, and it rejects, naming the reason,
// every kind of image that must not ship.
#include "windows/driver_image_check.h"
#include "windows/pe_builder.h"

#include "support/gtest.h"

#include <functional>

using namespace sim::ldr;

namespace {

std::string Joined(const std::vector<std::string>& problems) {
  std::string text;
  for (const std::string& problem : problems) text += "  " + problem + "\n";
  return text;
}

}  // namespace

TEST(DriverImageCheck, AcceptsADriverImportingOnlyAllowedRoutines) {
  std::vector<std::string> problems = driver_image::Check(pe_builder::Build(pe_builder::AcceptableDriver()));
  EXPECT_TRUE(problems.empty()) << Joined(problems);
}

TEST(DriverImageCheck, AcceptsEveryRoutineOnTheAllowedListFromItsOwnModule) {
  pe_builder::Spec spec;
  for (const auto& [module, routines] : driver_image::AllowedImports()) {
    pe_builder::Module imported{module, {}};
    for (const std::string& routine : routines) imported.routines.push_back({routine, 0, 0});
    spec.imports.push_back(imported);
  }
  std::vector<std::string> problems = driver_image::Check(pe_builder::Build(spec));
  EXPECT_TRUE(problems.empty()) << Joined(problems);
}

// One way to spoil the acceptable driver, and the words that the one
// problem reported must contain.
struct Fault {
  const char* name;
  std::function<void(pe_builder::Spec&)> spoil;
  std::vector<std::string> expected;
};

void PrintTo(const Fault& fault, std::ostream* out) { *out << fault.name; }

class DriverImageCheckRejects : public ::testing::TestWithParam<Fault> {};

TEST_P(DriverImageCheckRejects, WithOneProblemNamingTheCause) {
  pe_builder::Spec spec = pe_builder::AcceptableDriver();
  GetParam().spoil(spec);
  std::vector<std::string> problems = driver_image::Check(pe_builder::Build(spec));
  ASSERT_EQ(problems.size(), 1u) << "problems:\n" << Joined(problems);
  for (const std::string& words : GetParam().expected) {
    EXPECT_NE(problems[0].find(words), std::string::npos)
        << "problem: " << problems[0] << "\nexpected it to contain: " << words;
  }
}

INSTANTIATE_TEST_SUITE_P(
    AllKinds, DriverImageCheckRejects,
    ::testing::Values(
        Fault{"ForbiddenKernelRoutine",
              [](pe_builder::Spec& s) { s.imports[0].routines.push_back({"KeBugCheckEx", 0, 0}); },
              {"imports KeBugCheckEx from ntoskrnl.exe", "not on the list"}},
        // The kernel's formatter, which the inline safe-string helpers call:
        // the Windows 2000 driver must not count on it, and neither driver
        // needs it.
        Fault{"KernelFormatter",
              [](pe_builder::Spec& s) { s.imports[0].routines.push_back({"_vsnwprintf", 0, 0}); },
              {"imports _vsnwprintf from ntoskrnl.exe", "not on the list"}},
        Fault{"AllowedRoutineFromTheWrongModule",
              [](pe_builder::Spec& s) { s.imports[0].routines.push_back({"KfAcquireSpinLock", 0, 0}); },
              {"imports KfAcquireSpinLock from ntoskrnl.exe"}},
        Fault{"UndecoratedUsbdName",
              [](pe_builder::Spec& s) { s.imports[2].routines.push_back({"USBD_CreateConfigurationRequestEx", 0, 0}); },
              {"imports USBD_CreateConfigurationRequestEx from USBD.SYS"}},
        Fault{"RoutineByOrdinal", [](pe_builder::Spec& s) { s.imports[1].routines.push_back({"", 42, 0}); },
              {"ordinal 42 from HAL.dll", "by name"}},
        Fault{"UserModeModule",
              [](pe_builder::Spec& s) { s.imports.push_back({"KERNEL32.dll", {{"CreateFileA", 0, 0}}}); },
              {"imports from KERNEL32.dll (CreateFileA)"}},
        Fault{"WindowsGuiSubsystem", [](pe_builder::Spec& s) { s.subsystem = kSubsystemWindowsGui; },
              {"subsystem is Windows GUI (2)", "native"}},
        Fault{"ConsoleSubsystem", [](pe_builder::Spec& s) { s.subsystem = kSubsystemWindowsCui; },
              {"subsystem is Windows console (3)"}},
        Fault{"X64MachineInAPe32Image", [](pe_builder::Spec& s) { s.machine = kMachineAmd64; },
              {"machine is x86-64", "i386"}},
        Fault{"Pe32PlusImage",
              [](pe_builder::Spec& s) {
                s.pe32Plus = true;
                s.machine = kMachineAmd64;
              },
              {"not a readable PE32 image", "PE32+ (64-bit)"}},
        Fault{"NoRelocations", [](pe_builder::Spec& s) { s.relocations = false; }, {"no base relocations"}},
        Fault{"WrongChecksum", [](pe_builder::Spec& s) { s.correctChecksum = false; }, {"header checksum is"}},
        Fault{"NoEntryPoint", [](pe_builder::Spec& s) { s.entryPointRva = 0; },
              {"entry point (RVA 0x0) is not in an executable section"}},
        Fault{"EntryPointInData", [](pe_builder::Spec& s) { s.entryPointRva = 0x2004; },
              {"entry point (RVA 0x2004)"}}),
    [](const ::testing::TestParamInfo<Fault>& info) { return std::string(info.param.name); });

TEST(DriverImageCheck, RejectsATruncatedImageSayingItIsTruncated) {
  std::vector<uint8_t> bytes = pe_builder::Build(pe_builder::AcceptableDriver());
  bytes.resize(bytes.size() - 1);
  std::vector<std::string> problems = driver_image::Check(bytes);
  ASSERT_EQ(problems.size(), 1u) << Joined(problems);
  EXPECT_NE(problems[0].find("truncated"), std::string::npos) << problems[0];
}

TEST(DriverImageCheck, ReportsEveryForbiddenImportNotJustTheFirst) {
  pe_builder::Spec spec = pe_builder::AcceptableDriver();
  spec.imports[0].routines.push_back({"ZwCreateFile", 0, 0});
  spec.imports[1].routines.push_back({"HalGetBusData", 0, 0});
  std::vector<std::string> problems = driver_image::Check(pe_builder::Build(spec));
  ASSERT_EQ(problems.size(), 2u) << Joined(problems);
  EXPECT_NE(problems[0].find("ZwCreateFile"), std::string::npos) << problems[0];
  EXPECT_NE(problems[1].find("HalGetBusData"), std::string::npos) << problems[1];
}

TEST(DriverImageCheck, MatchesModuleNamesWithoutRegardToCase) {
  pe_builder::Spec spec = pe_builder::AcceptableDriver();
  spec.imports[0].name = "NTOSKRNL.EXE";
  spec.imports[1].name = "hal.dll";
  spec.imports[2].name = "usbd.sys";
  std::vector<std::string> problems = driver_image::Check(pe_builder::Build(spec));
  EXPECT_TRUE(problems.empty()) << Joined(problems);
}
