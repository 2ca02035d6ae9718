#include "sim/io/file.h"
#include "sim/io/io.h"
#include "sim/io/request.h"
#include "sim/ke/ke.h"
#include "sim/ob/namespace.h"
#include "sim/pnp/pnp.h"
#include "sim/verifier/verifier.h"

#include <cstdlib>
#include <string>

namespace sim::io {
namespace {

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
  while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
  return device;
}

PFILE_OBJECT NewFileObject(PDEVICE_OBJECT device) {
  auto file = static_cast<PFILE_OBJECT>(std::calloc(1, sizeof(FILE_OBJECT)));
  file->Type = IO_TYPE_FILE;
  file->Size = sizeof(FILE_OBJECT);
  file->DeviceObject = device;
  return file;
}

NTSTATUS SendFileRequest(PDEVICE_OBJECT device, PFILE_OBJECT file, UCHAR major) {
  Request request(device, major);
  request.Stack()->FileObject = file;
  request.Irp()->Tail.Overlay.OriginalFileObject = file;
  request.Send();
  // Create, cleanup and close are synchronous for the caller: the I/O
  // manager waits for a pending one.
  if (!request.Await()) {
    verifier::Report(verifier::Rule::WaitNeverEnds,
                     std::string("the caller of ") + MajorName(major) + " waits for a request no one will complete");
    return STATUS_PENDING;
  }
  return request.Status();
}

}  // namespace

NTSTATUS FileHandle::Open(PDEVICE_OBJECT device, std::unique_ptr<FileHandle>* handle) {
  ke::CheckMayWait("open");
  handle->reset();
  PDEVICE_OBJECT top = TopOfStack(device);
  if ((top->Flags & DO_EXCLUSIVE) != 0 && top->ReferenceCount != 0) return STATUS_ACCESS_DENIED;
  PFILE_OBJECT file = NewFileObject(top);
  top->ReferenceCount++;
  NTSTATUS status = SendFileRequest(top, file, IRP_MJ_CREATE);
  if (!NT_SUCCESS(status) || status == STATUS_PENDING) {
    top->ReferenceCount--;
    std::free(file);
    return status;
  }
  handle->reset(new FileHandle(top, file));
  return status;
}

NTSTATUS FileHandle::OpenByName(const std::u16string& name, std::unique_ptr<FileHandle>* handle) {
  handle->reset();
  PVOID named = nullptr;
  if (ob::ResolveDevice(name, &named) != STATUS_SUCCESS) named = pnp::EnabledInterfaceDevice(name);
  if (named == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  auto device = static_cast<PDEVICE_OBJECT>(named);
  // The I/O manager lets no open reach a device its driver has not finished
  // initializing.
  if ((device->Flags & DO_DEVICE_INITIALIZING) != 0) return STATUS_NO_SUCH_DEVICE;
  return Open(device, handle);
}

FileHandle::~FileHandle() {
  if (IsOpen()) Close();
}

NTSTATUS FileHandle::Close() {
  ke::CheckMayWait("close");
  SendFileRequest(device_, file_, IRP_MJ_CLEANUP);
  NTSTATUS status = SendFileRequest(device_, file_, IRP_MJ_CLOSE);
  device_->ReferenceCount--;
  std::free(file_);
  file_ = nullptr;
  return status;
}

}  // namespace sim::io
