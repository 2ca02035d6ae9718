/*
 * The test bus's control device, shared by the bus driver and the Win32
 * test program: a name the program opens and the requests it sends.
 */
#pragma once

// The program opens \\.\QuillanTestBus; the bus creates the device and its link.
#define QUILLAN_TESTBUS_DEVICE_NAME L"\\Device\\QuillanTestBus"
#define QUILLAN_TESTBUS_LINK_NAME L"\\DosDevices\\QuillanTestBus"
#define QUILLAN_TESTBUS_WIN32_NAME "\\\\.\\QuillanTestBus"

// Unplugs the loopback device: its pending and later transfers fail as a
// device that has gone, and the bus stops reporting it. No buffers.
#define IOCTL_QUILLAN_TESTBUS_UNPLUG CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)
