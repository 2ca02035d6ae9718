#include "sim/io/transfer_request.h"

#include "sim/io/io.h"
#include "sim/mm/mdl.h"

#include <algorithm>

namespace sim::io {

// Outlives the TransferRequest when a test lets go of a request the driver
// still holds: its completion still lands here.
struct TransferRequest::Shared {
  std::vector<uint8_t> buffer;
};

TransferRequest::TransferRequest(PDEVICE_OBJECT target, UCHAR major, std::vector<uint8_t> buffer)
    : Request(target, major), shared_(std::make_shared<Shared>()) {
  shared_->buffer = std::move(buffer);
  ULONG length = static_cast<ULONG>(shared_->buffer.size());
  PIRP irp = Irp();
  if (major == IRP_MJ_READ) {
    Stack()->Parameters.Read.Length = length;
  } else {
    Stack()->Parameters.Write.Length = length;
  }
  if (length == 0) return;  // no buffer to describe
  irp->MdlAddress = mm::DescribeBuffer(shared_->buffer.data(), length);

  auto record = FindIrp(irp, "TransferRequest");
  std::function<void(PIRP)> signalCaller = std::move(record->onTop);
  std::shared_ptr<Shared> shared = shared_;
  record->onTop = [shared, signalCaller](PIRP done) {
    mm::ReleaseMdl(done->MdlAddress);
    done->MdlAddress = nullptr;
    signalCaller(done);
  };
}

TransferRequest::~TransferRequest() {
  auto record = FindIrp(Irp(), "~TransferRequest");
  if (!record) return;
  bool sent;
  {
    std::lock_guard<std::mutex> hold(record->lock);
    sent = record->inDriver || record->completing || record->completed;
  }
  if (!sent && Irp()->MdlAddress != nullptr) {
    mm::ReleaseMdl(Irp()->MdlAddress);
    Irp()->MdlAddress = nullptr;
  }
}

std::unique_ptr<TransferRequest> TransferRequest::Read(PDEVICE_OBJECT target, ULONG length, uint8_t fill) {
  return std::unique_ptr<TransferRequest>(
      new TransferRequest(target, IRP_MJ_READ, std::vector<uint8_t>(length, fill)));
}

std::unique_ptr<TransferRequest> TransferRequest::Write(PDEVICE_OBJECT target, std::vector<uint8_t> data) {
  return std::unique_ptr<TransferRequest>(new TransferRequest(target, IRP_MJ_WRITE, std::move(data)));
}

const std::vector<uint8_t>& TransferRequest::Buffer() const { return shared_->buffer; }

std::vector<uint8_t> TransferRequest::Transferred() const {
  size_t count = std::min<size_t>(Information(), shared_->buffer.size());
  return std::vector<uint8_t>(shared_->buffer.begin(), shared_->buffer.begin() + count);
}

}  // namespace sim::io
