/*
 * quillan-wine-install: installs the test bus and the quillan driver
 * package in a Wine prefix the way a setup program does on Windows, then
 * waits for the port to appear.
 *
 *   quillan-wine-install PORTNAME PACKAGE-INF BUS-INF
 *   quillan-wine-install PORTNAME     (step 4 alone, in a new Wine session)
 *
 * 1. The port's name goes into the USB device's parameters key before the
 *    device exists (no Ports class installer runs under Wine to choose one).
 * 2. The driver package's INF is copied into the system's INF folder with
 *    SetupCopyOEMInf, from where the Plug and Play manager picks a driver
 *    for the USB device by its hardware ID.
 * 3. The test bus is created as a root device and given its driver with
 *    UpdateDriverForPlugAndPlayDevices; once started, it reports the USB
 *    device, which gets the quillan driver.
 * 4. It waits until the port opens and echoes a few bytes.
 */
#include <windows.h>
#include <newdev.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

const wchar_t kUsbInstance[] = L"USB\\VID_1209&PID_0001\\1";
const wchar_t kBusInstance[] = L"ROOT\\QUILLAN_TESTBUS\\0000";
const wchar_t kBusHardwareIds[] = L"root\\quillan_testbus\0";
const DWORD kPortWaitMs = 60000;

bool Fail(const char* what, DWORD error = GetLastError()) {
  std::printf("quillan-wine-install: %s failed, error %lu\n", what, static_cast<unsigned long>(error));
  return false;
}

// Registers the USB device's instance ahead of its arrival, as setupapi
// would for a device seen before, and writes PortName into its parameters
// key (SetupDiCreateDevRegKey, DIREG_DEV), where a Ports class installer
// would have put it.
bool SetPortName(const wchar_t* portName) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (set == INVALID_HANDLE_VALUE) return Fail("SetupDiCreateDeviceInfoList");
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  static const GUID kNoClass = {};
  bool ok = SetupDiCreateDeviceInfoW(set, kUsbInstance, &kNoClass, nullptr, nullptr, 0, &device) ||
            Fail("SetupDiCreateDeviceInfo for the USB device");
  ok = ok && (SetupDiRegisterDeviceInfo(set, &device, 0, nullptr, nullptr, nullptr) ||
              Fail("SetupDiRegisterDeviceInfo for the USB device"));
  HKEY key = static_cast<HKEY>(INVALID_HANDLE_VALUE);
  if (ok) {
    key = SetupDiCreateDevRegKeyW(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
    ok = key != static_cast<HKEY>(INVALID_HANDLE_VALUE) || Fail("SetupDiCreateDevRegKey");
  }
  if (ok) {
    LONG error = RegSetValueExW(key, L"PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(portName),
                                static_cast<DWORD>((wcslen(portName) + 1) * sizeof(wchar_t)));
    ok = error == ERROR_SUCCESS || Fail("setting PortName", error);
    RegCloseKey(key);
  }
  SetupDiDestroyDeviceInfoList(set);
  return ok;
}

bool CopyPackageInf(const wchar_t* inf) {
  wchar_t full[MAX_PATH];
  wchar_t installed[MAX_PATH];
  if (GetFullPathNameW(inf, MAX_PATH, full, nullptr) == 0) return Fail("finding the package INF");
  if (!SetupCopyOEMInfW(full, nullptr, SPOST_PATH, 0, installed, MAX_PATH, nullptr, nullptr)) {
    return Fail("SetupCopyOEMInf");
  }
  std::printf("quillan-wine-install: package INF installed as %ls\n", installed);
  return true;
}

bool InstallBus(const wchar_t* inf) {
  wchar_t full[MAX_PATH];
  if (GetFullPathNameW(inf, MAX_PATH, full, nullptr) == 0) return Fail("finding the bus INF");
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (set == INVALID_HANDLE_VALUE) return Fail("SetupDiCreateDeviceInfoList");
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  static const GUID kNoClass = {};
  bool ok = SetupDiCreateDeviceInfoW(set, kBusInstance, &kNoClass, nullptr, nullptr, 0, &device) ||
            Fail("SetupDiCreateDeviceInfo");
  ok = ok && (SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                                reinterpret_cast<const BYTE*>(kBusHardwareIds),
                                                sizeof kBusHardwareIds) ||
              Fail("setting the bus hardware ID"));
  ok = ok && (SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device) || Fail("DIF_REGISTERDEVICE"));
  SetupDiDestroyDeviceInfoList(set);
  BOOL reboot = FALSE;
  ok = ok && (UpdateDriverForPlugAndPlayDevicesW(nullptr, kBusHardwareIds, full, INSTALLFLAG_FORCE, &reboot) ||
              Fail("UpdateDriverForPlugAndPlayDevices"));
  return ok;
}

// True when the port opens and echoes a few bytes through the loopback
// device within a second: the device is started and configured. (The name
// can appear before the device has started.) All read time-outs 0: no
// timer of the driver's is involved.
bool PortAnswers(const wchar_t* path) {
  HANDLE port = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (port == INVALID_HANDLE_VALUE) return false;
  COMMTIMEOUTS timeouts = {};
  const char probe[4] = {'q', 'w', 't', '1'};
  char back[4] = {};
  OVERLAPPED read = {};
  OVERLAPPED write = {};
  read.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  write.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD moved = 0;
  bool ok = SetCommTimeouts(port, &timeouts) &&
            (ReadFile(port, back, sizeof back, nullptr, &read) || GetLastError() == ERROR_IO_PENDING) &&
            (WriteFile(port, probe, sizeof probe, nullptr, &write) || GetLastError() == ERROR_IO_PENDING) &&
            WaitForSingleObject(read.hEvent, 1000) == WAIT_OBJECT_0 &&
            GetOverlappedResult(port, &read, &moved, FALSE) && moved == sizeof back &&
            memcmp(back, probe, sizeof back) == 0;
  CancelIo(port);
  WaitForSingleObject(read.hEvent, 5000);
  WaitForSingleObject(write.hEvent, 5000);
  CloseHandle(read.hEvent);
  CloseHandle(write.hEvent);
  CloseHandle(port);
  return ok;
}

bool WaitForPort(const wchar_t* portName) {
  wchar_t path[64];
  std::swprintf(path, 64, L"\\\\.\\%ls", portName);
  DWORD start = GetTickCount();
  while (GetTickCount() - start < kPortWaitMs) {
    if (PortAnswers(path)) {
      std::printf("quillan-wine-install: %ls answers\n", portName);
      return true;
    }
    Sleep(200);
  }
  return Fail("waiting for the port", ERROR_TIMEOUT);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 2) return WaitForPort(argv[1]) ? 0 : 1;
  if (argc != 4) {
    std::printf("usage: quillan-wine-install PORTNAME PACKAGE-INF BUS-INF\n"
                "       quillan-wine-install PORTNAME    (only wait for the port)\n");
    return 2;
  }
  bool ok = SetPortName(argv[1]) && CopyPackageInf(argv[2]) && InstallBus(argv[3]) && WaitForPort(argv[1]);
  return ok ? 0 : 1;
}
