// The driver image loader and the kernel's export table: what an image
// must be to load, the reason given for each refusal, and, in the 32-bit
// build, that a loaded image is relocated, bound and runnable.
#include "sim/io/driver.h"
#include "sim/ldr/exports.h"
#include "sim/ldr/loader.h"
#include "support/kernel_test.h"
#include "windows/driver_image_check.h"
#include "windows/pe_builder.h"

#include <cstring>
#include <fstream>
#include <set>

using namespace sim::ldr;

namespace {

std::string WriteFile(const std::string& name, const std::vector<uint8_t>& bytes) {
  std::string path = ::testing::TempDir() + name;
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return path;
}

std::string RefusalOf(const std::string& name, const std::vector<uint8_t>& bytes) {
  std::string refusal;
  std::unique_ptr<DriverImage> image = DriverImage::Load(WriteFile(name, bytes), &refusal);
  EXPECT_EQ(image, nullptr) << name << " was loaded";
  return refusal;
}

}  // namespace

TEST(KernelExports, AreExactlyTheRoutinesADriverMayImport) {
  std::set<std::string> exported;
  for (const KernelExport& routine : KernelExports()) {
    EXPECT_TRUE(exported.insert(std::string(routine.module) + "!" + ExportName(routine)).second)
        << "listed twice: " << routine.name;
  }
  std::set<std::string> allowed;
  for (const auto& [module, names] : driver_image::AllowedImports()) {
    for (const std::string& name : names) allowed.insert(module + "!" + name);
  }
  for (const std::string& name : exported) EXPECT_EQ(allowed.count(name), 1u) << name << " is exported but not allowed";
  for (const std::string& name : allowed) {
#if !defined(_X86_)
    if (name.compare(0, 8, "hal.dll!") == 0) continue;  // the HAL's spin lock routines exist on x86 only
#endif
    EXPECT_EQ(exported.count(name), 1u) << name << " is allowed but the simulated kernel does not export it";
  }
}

TEST(KernelExports, DecoratedNamesBindOnlyWithTheirConventionAndArgumentBytes) {
  struct Case {
    const char* module;
    const char* imported;
    bool binds;
  } cases[] = {
      {"USBD.SYS", "_USBD_ParseConfigurationDescriptorEx@28", true},
      {"usbd.sys", "_USBD_CreateConfigurationRequestEx@8", true},
      {"USBD.SYS", "_USBD_ParseConfigurationDescriptorEx@24", false},  // wrong argument bytes
      {"USBD.SYS", "@USBD_CreateConfigurationRequestEx@8", false},     // fastcall, it is stdcall
      {"ntoskrnl.exe", "_IoCreateDevice@28", true},
      {"ntoskrnl.exe", "@IofCallDriver@8", true},
      {"ntoskrnl.exe", "_IofCallDriver@8", false},
      {"ntoskrnl.exe", "DbgPrint", true},      // cdecl, undecorated
      {"ntoskrnl.exe", "_vsnwprintf", false},  // the kernel's formatter: no driver may import it
      {"ntoskrnl.exe", "KeBugCheckEx", false},
      {"hal.dll", "IoCreateDevice", false},  // right name, wrong module
  };
  for (const Case& c : cases) {
    std::string mismatch;
    EXPECT_EQ(FindKernelExport(c.module, c.imported, &mismatch) != nullptr, c.binds)
        << c.module << "!" << c.imported << " " << mismatch;
  }
}

TEST(DriverImageLoader, RefusesEachKindOfBadImageSayingWhy) {
  std::vector<uint8_t> good = pe_builder::Build(pe_builder::AcceptableDriver());
  std::vector<uint8_t> corrupted = good;
  corrupted[corrupted.size() - 700] ^= 0x01;  // a byte of a section
  std::vector<uint8_t> truncated(good.begin(), good.begin() + good.size() - 100);
  pe_builder::Spec gui = pe_builder::AcceptableDriver();
  gui.subsystem = sim::ldr::kSubsystemWindowsGui;
  pe_builder::Spec missing = pe_builder::AcceptableDriver();
  missing.imports[0].routines.push_back({"KeBugCheckEx", 0, 0});
  missing.imports[1].routines = {{"HalMakeBeep", 0, 0}};  // (the spin lock routines exist on x86 only)
  missing.imports[2].routines.push_back({"_USBD_CreateConfigurationRequestEx@12", 0, 0});
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    std::vector<std::string> expected;  // parts of the message
  } cases[] = {
      {"corrupted.sys", corrupted, {"cannot load corrupted.sys", "checksum", "damaged"}},
      {"truncated.sys", truncated, {"cannot load truncated.sys", "truncated"}},
      {"gui.sys", pe_builder::Build(gui), {"subsystem is Windows GUI", "not native"}},
      {"missing.sys",
       pe_builder::Build(missing),
       {"imports 3 routines the simulated kernel does not export: ntoskrnl.exe!KeBugCheckEx, HAL.dll!HalMakeBeep, "
        "USBD.SYS!_USBD_CreateConfigurationRequestEx@12 (",
        "with 12 argument bytes, but the kernel's USBD_CreateConfigurationRequestEx is stdcall with 8"}},
      {"absent.sys", {}, {"cannot load absent.sys"}},
  };
  for (const Case& c : cases) {
    std::string refusal = RefusalOf(c.name, c.bytes);
    for (const std::string& part : c.expected) {
      EXPECT_NE(refusal.find(part), std::string::npos) << c.name << ": got \"" << refusal << "\", expected it to say \""
                                                        << part << "\"";
    }
  }
}

#if defined(__i386__)

class LoadedImageTest : public KernelTest {};

// mov eax, <VA of .text>; ret 8: DriverEntry returns its own relocated address.
TEST_F(LoadedImageTest, IsRelocatedBoundAndRunnable) {
  pe_builder::Spec spec = pe_builder::AcceptableDriver();
  spec.imageBase = 0x10000;
  spec.code = {0xB8, 0x00, 0x10, 0x01, 0x00, 0xC2, 0x08, 0x00};
  pe_builder::Layout layout;
  std::string refusal;
  std::unique_ptr<DriverImage> image =
      DriverImage::Load(WriteFile("runnable.sys", pe_builder::Build(spec, &layout)), &refusal);
  ASSERT_NE(image, nullptr) << refusal;
  ASSERT_NE(image->Base(), spec.imageBase) << "the test needs the image away from its preferred base";
  {
    sim::io::LoadedDriver driver(image->Entry());
    EXPECT_EQ(static_cast<uint32_t>(driver.Status()), image->Base() + 0x1000);
  }
  // Each import address slot holds the kernel's routine.
  sim::ldr::PeImage read;
  std::vector<uint8_t> bytes = pe_builder::Build(spec);
  ASSERT_TRUE(ReadPeImage(bytes.data(), bytes.size(), &read, &refusal));
  for (const ImportedModule& module : read.imports) {
    for (const ImportedRoutine& routine : module.routines) {
      std::string mismatch;
      uint32_t slot;
      std::memcpy(&slot, reinterpret_cast<void*>(image->Base() + routine.slotRva), 4);
      EXPECT_EQ(slot, reinterpret_cast<uintptr_t>(FindKernelExport(module.name, routine.name, &mismatch)->address))
          << routine.name;
    }
  }
}

// mov eax, <VA of .text>; mov dword [eax], 0: a write into its own code.
TEST(LoadedImageDeathTest, AFaultIsReportedWithTheOffsetAndTheRoutine) {
  pe_builder::Spec spec = pe_builder::AcceptableDriver();
  spec.code = {0xB8, 0x00, 0x10, 0x01, 0x00, 0xC7, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC2, 0x08, 0x00};
  std::string path = WriteFile("faulting.sys", pe_builder::Build(spec));
  std::ofstream(::testing::TempDir() + "faulting.map")
      << " .text          0x00011000       0x20 faulting.o\n"
      << "                0x00011000                FaultingEntry@8\n";
  std::string refusal;
  std::unique_ptr<DriverImage> image = DriverImage::Load(path, &refusal);
  ASSERT_NE(image, nullptr) << refusal;
  EXPECT_DEATH(sim::io::LoadedDriver driver(image->Entry()),
               "driver fault: access violation .* in DriverEntry, at faulting.sys\\+0x1005 "
               "\\(FaultingEntry@8\\+0x5\\)");
}

#endif

// The shipped drivers themselves: each loads, and its DriverEntry fills
// the driver object with routines of the image.
TEST(ShippedDriverImage, LoadsAndRunsDriverEntry) {
#if !defined(QUILLAN_SYS_DIR) || !defined(__i386__)
  GTEST_SKIP() << "needs the 32-bit host build configured with QUILLAN_SYS_DIR";
#else
  for (const char* target : {"xp", "w2k"}) {
    SCOPED_TRACE(target);
    sim::Reset();
    std::string refusal;
    std::unique_ptr<DriverImage> image =
        DriverImage::Load(std::string(QUILLAN_SYS_DIR) + "/" + target + "/quillan.sys", &refusal);
    ASSERT_NE(image, nullptr) << refusal;
    {
      sim::io::LoadedDriver driver(image->Entry());
      EXPECT_EQ(driver.Status(), STATUS_SUCCESS);
      auto inImage = [&](void* routine) {
        return reinterpret_cast<uintptr_t>(routine) - image->Base() < image->Size();
      };
      EXPECT_TRUE(inImage(reinterpret_cast<void*>(driver.Object()->DriverExtension->AddDevice)));
      EXPECT_TRUE(inImage(reinterpret_cast<void*>(driver.Object()->MajorFunction[IRP_MJ_READ])));
      EXPECT_NE(image->Describe(reinterpret_cast<uintptr_t>(driver.Object()->MajorFunction[IRP_MJ_READ])).find("SerialRead"),
                std::string::npos)
          << "the map file names the read dispatch routine";
    }
    std::vector<sim::verifier::Finding> findings = sim::EndOfTest();
    EXPECT_TRUE(findings.empty()) << sim::verifier::Describe(findings);
  }
#endif
}
