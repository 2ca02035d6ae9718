/*
 * The sizes and offsets of platform structures that the driver shares with
 * the kernel, the USB stack and applications, pinned to their values on
 * 32-bit x86 Windows. The driver itself only uses sizeof and field names;
 * these checks make sure the headers, compiled with this build's flags
 * (alignment, bit-field packing, pointer size), give the layout that the
 * other side of each interface was compiled with. They are active in every
 * x86 build: the two Windows drivers and the 32-bit host build.
 */
#include "driver/platform/platform.h"

#include <stddef.h>

#if defined(_X86_)

namespace {

// URBs the driver sends to the USB stack.
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 72, "bulk transfer URB is 72 bytes on x86");
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 80, "control descriptor request URB is 80 bytes on x86");
static_assert(sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST) == 80, "get-status URB is 80 bytes on x86");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 24, "pipe request URB is 24 bytes on x86");

// Structures returned to applications by serial control requests, and to
// the Plug and Play manager.
static_assert(sizeof(SERIAL_COMMPROP) == 64, "SERIAL_COMMPROP is 64 bytes on x86");
static_assert(sizeof(SERIAL_STATUS) == 20, "SERIAL_STATUS is 20 bytes on x86");
static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "DEVICE_CAPABILITIES is 64 bytes on x86");

// The select-configuration URB: the interface records follow one another
// from the URB's Interface field, each sized for its own pipes (the record
// includes room for one pipe).
static_assert(sizeof(USBD_PIPE_INFORMATION) == 20, "USBD_PIPE_INFORMATION is 20 bytes on x86");
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 36, "USBD_INTERFACE_INFORMATION with one pipe is 36 bytes on x86");

// The device this driver serves: interface 0 with one endpoint, then
// interface 1 with its bulk OUT and bulk IN pipes, whose handles the driver
// takes from the URB once the USB stack has filled it in.
constexpr size_t InterfaceRecordSize(size_t pipes) {
  return sizeof(USBD_INTERFACE_INFORMATION) + (pipes - 1) * sizeof(USBD_PIPE_INFORMATION);
}
constexpr size_t kInterface1 = offsetof(struct _URB_SELECT_CONFIGURATION, Interface) + InterfaceRecordSize(1);
constexpr size_t PipeHandleOffset(size_t interfaceOffset, size_t pipe) {
  return interfaceOffset + offsetof(USBD_INTERFACE_INFORMATION, Pipes) + pipe * sizeof(USBD_PIPE_INFORMATION) +
         offsetof(USBD_PIPE_INFORMATION, PipeHandle);
}
static_assert(PipeHandleOffset(kInterface1, 0) == 84, "the first pipe handle of interface 1 is at offset 84 of the URB");
static_assert(PipeHandleOffset(kInterface1, 1) == 104, "the second pipe handle of interface 1 is at offset 104 of the URB");

}  // namespace

#endif  // _X86_
