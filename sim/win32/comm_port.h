/*
 * A COM port as an application sees it through the Win32 communications
 * functions, over the simulated I/O manager: open by name (exclusive),
 * ReadFile and WriteFile (synchronous, or overlapped with a completion to
 * wait for or cancel), the time-outs, properties and status, the event
 * mask and WaitCommEvent, PurgeComm, FlushFileBuffers, and close. Each
 * call is the request the driver serves, and its final status and byte
 * count are visible.
 *
 * Synchronous calls block the way a Win32 caller blocks: in the
 * deterministic mode virtual time runs on until the request completes; a
 * request that nothing can ever complete is reported to the verifier as a
 * wait that never ends, and then cancelled.
 */
#pragma once

#include "driver/platform/platform.h"
#include "sim/io/control_request.h"
#include "sim/io/file.h"
#include "sim/io/transfer_request.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sim::win32 {

using Bytes = std::vector<uint8_t>;

// How a request ended: its IoStatus.
struct IoResult {
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR bytes = 0;  // bytes transferred or returned
};

// An overlapped request: a read, a write or a wait for events.
class Overlapped {
 public:
  Overlapped(std::unique_ptr<io::Request> request, UCHAR major) : request_(std::move(request)), major_(major) {}
  bool Done() const { return request_->Completed(); }
  // Blocks until done (see above); the result, or STATUS_PENDING if it never ends.
  IoResult Wait();
  // CancelIoEx for this request; false if it had already completed.
  bool Cancel() { return request_->Cancel() != FALSE; }
  IoResult Result() const;
  // A completed read's bytes.
  Bytes Data() const;
  // A completed wait's events.
  ULONG Events() const;
  const io::Request& Request() const { return *request_; }

 private:
  std::unique_ptr<io::Request> request_;
  UCHAR major_;
};

class CommPort {
 public:
  // CreateFile of "COM5" (or "\\.\COM5"): the status the open ended with.
  static NTSTATUS Open(const std::u16string& name, std::unique_ptr<CommPort>* port);
  ~CommPort();
  // CloseHandle: cleanup, then close.
  NTSTATUS Close();

  IoResult Read(ULONG length, Bytes* data);
  IoResult Write(const Bytes& data);
  std::unique_ptr<Overlapped> ReadAsync(ULONG length);
  std::unique_ptr<Overlapped> WriteAsync(Bytes data);

  NTSTATUS SetTimeouts(const SERIAL_TIMEOUTS& timeouts);
  NTSTATUS GetTimeouts(SERIAL_TIMEOUTS* timeouts);
  NTSTATUS GetProperties(SERIAL_COMMPROP* properties);
  NTSTATUS GetCommStatus(SERIAL_STATUS* status);
  NTSTATUS SetWaitMask(ULONG mask);
  NTSTATUS GetWaitMask(ULONG* mask);
  // WaitCommEvent.
  IoResult WaitEvent(ULONG* events);
  std::unique_ptr<Overlapped> WaitEventAsync();
  NTSTATUS Purge(ULONG flags);
  // FlushFileBuffers: returns once the writes issued before it have ended.
  NTSTATUS Flush();
  std::unique_ptr<Overlapped> FlushAsync();
  // DeviceIoControl with any code: the result, and the bytes returned.
  IoResult Control(ULONG code, const Bytes& input, ULONG outputLength, Bytes* output = nullptr);

  PDEVICE_OBJECT Device() const { return handle_->Device(); }

 private:
  explicit CommPort(std::unique_ptr<io::FileHandle> handle) : handle_(std::move(handle)) {}
  // Sends a request on this handle's file object.
  template <typename R>
  std::unique_ptr<Overlapped> Send(std::unique_ptr<R> request);
  template <typename T>
  NTSTATUS Query(ULONG code, T* value);

  std::unique_ptr<io::FileHandle> handle_;
};

}  // namespace sim::win32
