#include "sim/win32/comm_port.h"

#include "sim/io/io.h"
#include "sim/verifier/verifier.h"

#include <cstring>

namespace sim::win32 {

IoResult Overlapped::Result() const {
  if (!Done()) return {};
  return {request_->Status(), request_->Information()};
}

IoResult Overlapped::Wait() {
  if (!request_->Await()) {
    verifier::Report(verifier::Rule::WaitNeverEnds, std::string("an application waits for a ") +
                                                        io::MajorName(major_) + " request that nothing will complete");
    request_->Cancel();
    request_->Await();
  }
  return Result();
}

Bytes Overlapped::Data() const {
  auto transfer = dynamic_cast<const io::TransferRequest*>(request_.get());
  return transfer != nullptr && Done() ? transfer->Transferred() : Bytes{};
}

ULONG Overlapped::Events() const {
  auto control = dynamic_cast<const io::ControlRequest*>(request_.get());
  if (control == nullptr || !Done()) return 0;
  Bytes output = control->Output();
  ULONG events = 0;
  if (output.size() >= sizeof events) std::memcpy(&events, output.data(), sizeof events);
  return events;
}

NTSTATUS CommPort::Open(const std::u16string& name, std::unique_ptr<CommPort>* port) {
  port->reset();
  std::unique_ptr<io::FileHandle> handle;
  NTSTATUS status = io::FileHandle::OpenByName(name, &handle);
  if (NT_SUCCESS(status) && handle) port->reset(new CommPort(std::move(handle)));
  return status;
}

CommPort::~CommPort() {
  if (handle_ && handle_->IsOpen()) handle_->Close();
}

NTSTATUS CommPort::Close() { return handle_->Close(); }

template <typename R>
std::unique_ptr<Overlapped> CommPort::Send(std::unique_ptr<R> request) {
  PIO_STACK_LOCATION stack = request->Stack();
  stack->FileObject = handle_->FileObject();
  request->Irp()->Tail.Overlay.OriginalFileObject = handle_->FileObject();
  UCHAR major = stack->MajorFunction;
  request->Send();
  return std::make_unique<Overlapped>(std::move(request), major);
}

std::unique_ptr<Overlapped> CommPort::ReadAsync(ULONG length) {
  return Send(io::TransferRequest::Read(Device(), length));
}

std::unique_ptr<Overlapped> CommPort::WriteAsync(Bytes data) {
  return Send(io::TransferRequest::Write(Device(), std::move(data)));
}

IoResult CommPort::Read(ULONG length, Bytes* data) {
  std::unique_ptr<Overlapped> read = ReadAsync(length);
  IoResult result = read->Wait();
  if (data != nullptr) *data = read->Data();
  return result;
}

IoResult CommPort::Write(const Bytes& data) { return WriteAsync(data)->Wait(); }

IoResult CommPort::Control(ULONG code, const Bytes& input, ULONG outputLength, Bytes* output) {
  auto request = Send(std::make_unique<io::ControlRequest>(Device(), code, input, outputLength));
  IoResult result = request->Wait();
  if (output != nullptr) *output = static_cast<const io::ControlRequest&>(request->Request()).Output();
  return result;
}

template <typename T>
NTSTATUS CommPort::Query(ULONG code, T* value) {
  Bytes output;
  IoResult result = Control(code, {}, sizeof(T), &output);
  if (NT_SUCCESS(result.status) && output.size() == sizeof(T)) std::memcpy(value, output.data(), sizeof(T));
  return result.status;
}

NTSTATUS CommPort::SetTimeouts(const SERIAL_TIMEOUTS& timeouts) {
  return Control(IOCTL_SERIAL_SET_TIMEOUTS, io::BytesOf(timeouts), 0).status;
}
NTSTATUS CommPort::GetTimeouts(SERIAL_TIMEOUTS* timeouts) { return Query(IOCTL_SERIAL_GET_TIMEOUTS, timeouts); }
NTSTATUS CommPort::GetProperties(SERIAL_COMMPROP* properties) {
  return Query(IOCTL_SERIAL_GET_PROPERTIES, properties);
}
NTSTATUS CommPort::GetCommStatus(SERIAL_STATUS* status) { return Query(IOCTL_SERIAL_GET_COMMSTATUS, status); }
NTSTATUS CommPort::SetWaitMask(ULONG mask) { return Control(IOCTL_SERIAL_SET_WAIT_MASK, io::BytesOf(mask), 0).status; }
NTSTATUS CommPort::GetWaitMask(ULONG* mask) { return Query(IOCTL_SERIAL_GET_WAIT_MASK, mask); }
NTSTATUS CommPort::Purge(ULONG flags) { return Control(IOCTL_SERIAL_PURGE, io::BytesOf(flags), 0).status; }

std::unique_ptr<Overlapped> CommPort::FlushAsync() {
  return Send(std::make_unique<io::Request>(Device(), IRP_MJ_FLUSH_BUFFERS));
}

NTSTATUS CommPort::Flush() { return FlushAsync()->Wait().status; }

std::unique_ptr<Overlapped> CommPort::WaitEventAsync() {
  return Send(std::make_unique<io::ControlRequest>(Device(), IOCTL_SERIAL_WAIT_ON_MASK, Bytes{}, sizeof(ULONG)));
}

IoResult CommPort::WaitEvent(ULONG* events) {
  std::unique_ptr<Overlapped> wait = WaitEventAsync();
  IoResult result = wait->Wait();
  if (events != nullptr) *events = wait->Events();
  return result;
}

}  // namespace sim::win32
