/*
 * Open handles, as the I/O manager keeps them for an application: a file
 * object per open, IRP_MJ_CREATE on open, IRP_MJ_CLEANUP then IRP_MJ_CLOSE
 * on close. A device created exclusive admits one open handle at a time:
 * a second open is refused with STATUS_ACCESS_DENIED and never reaches the
 * driver.
 */
#pragma once

#include "driver/platform/platform.h"

#include <memory>
#include <string>

namespace sim::io {

class FileHandle {
 public:
  // Opens the device (the top of its stack). On success *handle holds the
  // open handle; the result is the status the create was completed with.
  static NTSTATUS Open(PDEVICE_OBJECT device, std::unique_ptr<FileHandle>* handle);
  // Opens by name, as an application does: "COM5", "\\.\COM5",
  // "\DosDevices\COM5", an NT device name, or the name of an enabled device
  // interface. Links are followed to the device they name;
  // STATUS_OBJECT_NAME_NOT_FOUND if nothing lies at the end, and
  // STATUS_NO_SUCH_DEVICE for a device still initializing.
  static NTSTATUS OpenByName(const std::u16string& name, std::unique_ptr<FileHandle>* handle);

  // Closes the handle if it is still open.
  ~FileHandle();
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;

  // Cleanup, then close; returns the close request's status.
  NTSTATUS Close();

  PDEVICE_OBJECT Device() const { return device_; }
  PFILE_OBJECT FileObject() const { return file_; }
  bool IsOpen() const { return file_ != nullptr; }

 private:
  FileHandle(PDEVICE_OBJECT device, PFILE_OBJECT file) : device_(device), file_(file) {}

  PDEVICE_OBJECT device_;
  PFILE_OBJECT file_;
};

}  // namespace sim::io
