// The serial control requests: every code's status, byte count and buffer
// tests, and the settings they store and report.
#include "support/open_port_test.h"

#include "sim/ex/pool.h"

#include <cstring>
#include <iomanip>

using sim::io::BytesOf;
using sim::io::ControlRequest;

namespace {

enum class Buffer { None, Input, Output };

struct CodeCase {
  ULONG code;
  NTSTATUS status;  // with a buffer of the minimum length
  Buffer buffer;
  ULONG minimum;    // bytes the buffer test asks for
  bool exact;       // any other length is STATUS_INVALID_PARAMETER
  ULONG information;
};

void PrintTo(const CodeCase& row, std::ostream* out) { *out << "0x" << std::hex << row.code; }

constexpr NTSTATUS kOk = STATUS_SUCCESS;
constexpr NTSTATUS kNotImplemented = STATUS_NOT_IMPLEMENTED;
constexpr NTSTATUS kInvalid = STATUS_INVALID_PARAMETER;

const CodeCase kCodes[] = {
    {0x1B0004, kOk, Buffer::Input, 4, true, 0},              // SET_BAUD_RATE
    {0x1B0008, kOk, Buffer::Input, 8, false, 0},             // SET_QUEUE_SIZE
    {0x1B000C, kOk, Buffer::Input, 3, false, 0},             // SET_LINE_CONTROL
    {0x1B0010, kNotImplemented, Buffer::None, 0, false, 0},  // SET_BREAK_ON
    {0x1B0014, kNotImplemented, Buffer::None, 0, false, 0},  // SET_BREAK_OFF
    {0x1B0018, kNotImplemented, Buffer::None, 0, false, 0},  // IMMEDIATE_CHAR
    {0x1B001C, kOk, Buffer::Input, 20, false, 0},            // SET_TIMEOUTS
    {0x1B0020, kOk, Buffer::Output, 20, false, 20},          // GET_TIMEOUTS
    {0x1B0024, kOk, Buffer::None, 0, false, 0},              // SET_DTR
    {0x1B0028, kOk, Buffer::None, 0, false, 0},              // CLR_DTR
    {0x1B002C, kNotImplemented, Buffer::None, 0, false, 0},  // RESET_DEVICE
    {0x1B0030, kOk, Buffer::None, 0, false, 0},              // SET_RTS
    {0x1B0034, kOk, Buffer::None, 0, false, 0},              // CLR_RTS
    {0x1B0038, kNotImplemented, Buffer::None, 0, false, 0},  // SET_XOFF
    {0x1B003C, kNotImplemented, Buffer::None, 0, false, 0},  // SET_XON
    {0x1B0040, kOk, Buffer::Output, 4, false, 4},            // GET_WAIT_MASK
    {0x1B0044, kOk, Buffer::Input, 4, false, 0},             // SET_WAIT_MASK
    {0x1B0048, STATUS_PENDING, Buffer::Output, 4, false, 0}, // WAIT_ON_MASK
    {0x1B004C, kOk, Buffer::Input, 4, false, 0},             // PURGE
    {0x1B0050, kOk, Buffer::Output, 4, false, 4},            // GET_BAUD_RATE
    {0x1B0054, kOk, Buffer::Output, 3, false, 3},            // GET_LINE_CONTROL
    {0x1B0058, kOk, Buffer::Output, 6, false, 6},            // GET_CHARS
    {0x1B005C, kOk, Buffer::Input, 6, false, 0},             // SET_CHARS
    {0x1B0060, kOk, Buffer::Output, 16, false, 16},          // GET_HANDFLOW
    {0x1B0064, kOk, Buffer::Input, 16, false, 0},            // SET_HANDFLOW
    {0x1B0068, kNotImplemented, Buffer::None, 0, false, 0},  // GET_MODEMSTATUS
    {0x1B006C, kOk, Buffer::Output, 20, false, 20},          // GET_COMMSTATUS
    {0x1B0070, kNotImplemented, Buffer::None, 0, false, 0},  // XOFF_COUNTER
    {0x1B0074, kOk, Buffer::Output, 64, false, 64},          // GET_PROPERTIES
    {0x1B0078, kNotImplemented, Buffer::None, 0, false, 0},  // GET_DTRRTS
    {0x1B007C, kNotImplemented, Buffer::None, 0, false, 0},  // LSRMST_INSERT
    {0x1B0080, kOk, Buffer::Output, 4, true, 4},             // CONFIG_SIZE
    {0x1B0084, kInvalid, Buffer::None, 0, false, 0},         // GET_COMMCONFIG
    {0x1B0088, kInvalid, Buffer::None, 0, false, 0},         // SET_COMMCONFIG
    {0x1B008C, kOk, Buffer::Output, 24, false, 24},          // GET_STATS
    {0x1B0090, kOk, Buffer::None, 0, false, 0},              // CLEAR_STATS
    {0x1B0094, kNotImplemented, Buffer::None, 0, false, 0},  // GET_MODEM_CONTROL
    {0x1B0098, kNotImplemented, Buffer::None, 0, false, 0},  // SET_MODEM_CONTROL
    {0x1B009C, kNotImplemented, Buffer::None, 0, false, 0},  // SET_FIFO_CONTROL
    {0x1B0000, kInvalid, Buffer::None, 0, false, 0},         // function 0
    {0x1B00A0, kInvalid, Buffer::None, 0, false, 0},         // beyond the last function
    {CTL_CODE(FILE_DEVICE_DISK, 1, METHOD_BUFFERED, FILE_ANY_ACCESS), kInvalid, Buffer::None, 0, false, 0},
    {CTL_CODE(FILE_DEVICE_UNKNOWN, 0x15, METHOD_BUFFERED, FILE_ANY_ACCESS), kInvalid, Buffer::None, 0, false, 0},
};

}  // namespace

class ControlCodeTable : public OpenPortTest, public ::testing::WithParamInterface<CodeCase> {
 protected:
  std::unique_ptr<ControlRequest> SendWithLength(const CodeCase& row, ULONG length, bool dropBuffer = false) {
    std::vector<uint8_t> input(row.buffer == Buffer::Input ? length : 0, 0);
    ULONG output = row.buffer == Buffer::Output ? length : 0;
    auto request = std::make_unique<ControlRequest>(device_, row.code, input, output);
    if (dropBuffer) request->DropSystemBuffer();
    NTSTATUS dispatched = request->Send();
    if (dispatched != STATUS_PENDING) {
      EXPECT_EQ(dispatched, request->Status());
    }
    return request;
  }
};

TEST_P(ControlCodeTable, AnswersWithItsStatusCountAndBufferTests) {
  const CodeCase& row = GetParam();
  auto request = SendWithLength(row, row.minimum);
  if (row.status == STATUS_PENDING) {
    EXPECT_FALSE(request->Completed());
    EXPECT_TRUE(request->Cancel());
    EXPECT_EQ(request->Status(), STATUS_CANCELLED);
  } else {
    EXPECT_EQ(request->Status(), row.status) << std::hex << request->Status();
    EXPECT_EQ(request->Information(), row.information);
    EXPECT_EQ(request->Output().size(), row.information);
  }
  if (row.buffer == Buffer::None) return;

  auto tooShort = SendWithLength(row, row.minimum - 1);
  EXPECT_EQ(tooShort->Status(), row.exact ? STATUS_INVALID_PARAMETER : STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(tooShort->Information(), 0u);
  if (row.exact) {
    auto tooLong = SendWithLength(row, row.minimum + 4);
    EXPECT_EQ(tooLong->Status(), STATUS_INVALID_PARAMETER);
  }
  auto noBuffer = SendWithLength(row, row.minimum, true);
  EXPECT_EQ(noBuffer->Status(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(noBuffer->Information(), 0u);
  auto nothing = SendWithLength(row, 0);  // no buffer at all: the length is tested first
  EXPECT_EQ(nothing->Status(), row.exact ? STATUS_INVALID_PARAMETER : STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(PendingIo(), 2) << "every reference dropped; only the reader's is left";
}

INSTANTIATE_TEST_SUITE_P(EveryCode, ControlCodeTable, ::testing::ValuesIn(kCodes));

// --- Settings ------------------------------------------------------------------------------

class ControlTest : public OpenPortTest {
 protected:
  template <typename T>
  T Get(ULONG code) {
    auto request = Control(code, {}, sizeof(T));
    EXPECT_EQ(request->Status(), STATUS_SUCCESS);
    T value{};
    std::vector<uint8_t> output = request->Output();
    EXPECT_EQ(output.size(), sizeof(T));
    if (output.size() == sizeof(T)) std::memcpy(&value, output.data(), sizeof(T));
    return value;
  }
};

TEST_F(ControlTest, DefaultsAreReportedRightAfterCreation) {
  SERIAL_HANDFLOW handflow = Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
  EXPECT_EQ(handflow.ControlHandShake, 1u);
  EXPECT_EQ(handflow.FlowReplace, 0x40u);
  EXPECT_EQ(handflow.XonLimit, 100);
  EXPECT_EQ(handflow.XoffLimit, 300);
  EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_BAUD_RATE), 9600u);
  SERIAL_LINE_CONTROL line = Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL);
  EXPECT_EQ(line.StopBits, STOP_BIT_1);
  EXPECT_EQ(line.Parity, NO_PARITY);
  EXPECT_EQ(line.WordLength, 8);
  SERIAL_CHARS chars = Get<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS);
  EXPECT_EQ(chars.XonChar, 0x11);
  EXPECT_EQ(chars.XoffChar, 0x13);
  EXPECT_EQ(chars.EofChar, 0);
  SERIAL_TIMEOUTS timeouts = Get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS);
  EXPECT_EQ(timeouts.ReadIntervalTimeout, 0u);
  EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 0u);
  EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_CONFIG_SIZE), 0u);
}

TEST_F(ControlTest, SettingsAreStoredUnvalidatedAndSurviveCloseAndReopen) {
  SERIAL_LINE_CONTROL line = {STOP_BITS_2, SPACE_PARITY, 3};  // a word length of 3 is kept as given
  SERIAL_CHARS chars = {1, 2, 3, 4, 5, 6};
  SERIAL_HANDFLOW handflow = {0xFFFFFFFF, 0x12345678, -5, 70000};
  SERIAL_TIMEOUTS timeouts = {1, 2, 3, 4, 5};
  EXPECT_EQ(Control(IOCTL_SERIAL_SET_BAUD_RATE, BytesOf(ULONG{0}))->Status(), STATUS_SUCCESS);
  EXPECT_EQ(Control(IOCTL_SERIAL_SET_LINE_CONTROL, BytesOf(line))->Status(), STATUS_SUCCESS);
  EXPECT_EQ(Control(IOCTL_SERIAL_SET_CHARS, BytesOf(chars))->Status(), STATUS_SUCCESS);
  EXPECT_EQ(Control(IOCTL_SERIAL_SET_HANDFLOW, BytesOf(handflow))->Status(), STATUS_SUCCESS);
  EXPECT_EQ(Control(IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(timeouts))->Status(), STATUS_SUCCESS);
  ASSERT_EQ(Close(), STATUS_SUCCESS);
  ASSERT_EQ(Open(), STATUS_SUCCESS);

  EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_BAUD_RATE), 0u);
  EXPECT_EQ(BytesOf(Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL)), BytesOf(line));
  EXPECT_EQ(BytesOf(Get<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS)), BytesOf(chars));
  EXPECT_EQ(BytesOf(Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW)), BytesOf(handflow));
  EXPECT_EQ(BytesOf(Get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS)), BytesOf(timeouts));
  EXPECT_EQ(port_->Timeouts.ReadTotalTimeoutConstant, 3u) << "the time-outs the reads use";
}

TEST_F(ControlTest, ARefusedSetChangesNothing) {
  EXPECT_EQ(Control(IOCTL_SERIAL_SET_BAUD_RATE, BytesOf(ULONGLONG{115200}))->Status(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Control(IOCTL_SERIAL_SET_LINE_CONTROL, {1, 1})->Status(), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_BAUD_RATE), 9600u);
  EXPECT_EQ(Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL).WordLength, 8);
  EXPECT_EQ(Control(IOCTL_SERIAL_SET_BAUD_RATE, BytesOf(ULONG{115200}))->Status(), STATUS_SUCCESS);
  EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_BAUD_RATE), 115200u);
}

TEST_F(ControlTest, TheQueueSizeRequestOnlyGrowsTheReceiveBufferAndKeepsItsBytes) {
  Device().SendIn({1, 2, 3});
  SERIAL_QUEUE_SIZE small = {512, 9999};
  EXPECT_EQ(Control(IOCTL_SERIAL_SET_QUEUE_SIZE, BytesOf(small))->Status(), STATUS_SUCCESS);
  EXPECT_EQ(port_->RxBuffer.Capacity, 1024u);

  SERIAL_QUEUE_SIZE large = {4096, 0};
  sim::pool::FailNth(1);
  EXPECT_EQ(Control(IOCTL_SERIAL_SET_QUEUE_SIZE, BytesOf(large))->Status(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(port_->RxBuffer.Capacity, 1024u);
  sim::pool::StopFailing();
  EXPECT_EQ(Control(IOCTL_SERIAL_SET_QUEUE_SIZE, BytesOf(large))->Status(), STATUS_SUCCESS);
  EXPECT_EQ(port_->RxBuffer.Capacity, 4096u);

  SERIAL_COMMPROP properties = Get<SERIAL_COMMPROP>(IOCTL_SERIAL_GET_PROPERTIES);
  EXPECT_EQ(properties.MaxRxQueue, 4095u);
  EXPECT_EQ(properties.CurrentRxQueue, 4095u);
  auto read = Read(3);
  EXPECT_EQ(read->Transferred(), (std::vector<uint8_t>{1, 2, 3}));

  ASSERT_EQ(Close(), STATUS_SUCCESS);
  ASSERT_EQ(Open(), STATUS_SUCCESS);
  EXPECT_EQ(port_->RxBuffer.Capacity, 1024u) << "every open starts again at 1024";
}

// The receive buffer grows to at most 64 KiB: a larger size is refused with
// STATUS_INVALID_PARAMETER before any pool is taken, and the buffer keeps
// its storage and bytes. The new storage is taken at PASSIVE_LEVEL, outside
// the receive buffer's spin lock.
TEST_F(ControlTest, TheQueueSizeIsBoundedAndTheStorageTakenOutsideTheLock) {
  Device().SendIn({1, 2, 3});
  // What a queue-size request that changes nothing asks of the pool.
  uint64_t attempts = sim::pool::Attempts();
  SERIAL_QUEUE_SIZE unchanged = {512, 0};
  ASSERT_EQ(Control(IOCTL_SERIAL_SET_QUEUE_SIZE, BytesOf(unchanged))->Status(), STATUS_SUCCESS);
  const uint64_t requestAttempts = sim::pool::Attempts() - attempts;

  const struct {
    ULONG size;
    NTSTATUS status;
    ULONG capacity;  // afterwards
  } cases[] = {
      {RECEIVE_BUFFER_LARGEST - 1, STATUS_SUCCESS, RECEIVE_BUFFER_LARGEST - 1},
      {RECEIVE_BUFFER_LARGEST + 1, STATUS_INVALID_PARAMETER, RECEIVE_BUFFER_LARGEST - 1},
      {1u << 20, STATUS_INVALID_PARAMETER, RECEIVE_BUFFER_LARGEST - 1},
      {16u << 20, STATUS_INVALID_PARAMETER, RECEIVE_BUFFER_LARGEST - 1},
      {0xFFFFFFFFu, STATUS_INVALID_PARAMETER, RECEIVE_BUFFER_LARGEST - 1},
      {RECEIVE_BUFFER_LARGEST, STATUS_SUCCESS, RECEIVE_BUFFER_LARGEST},
      {RECEIVE_BUFFER_LARGEST + 1, STATUS_INVALID_PARAMETER, RECEIVE_BUFFER_LARGEST},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("InSize " + std::to_string(c.size));
    const PUCHAR before = port_->RxBuffer.Data;
    attempts = sim::pool::Attempts();
    SERIAL_QUEUE_SIZE size = {c.size, 0};
    auto request = Control(IOCTL_SERIAL_SET_QUEUE_SIZE, BytesOf(size));
    EXPECT_EQ(request->Status(), c.status) << std::hex << request->Status();
    EXPECT_EQ(request->Information(), 0u);
    EXPECT_EQ(port_->RxBuffer.Capacity, c.capacity);
    if (c.status != STATUS_SUCCESS) {
      EXPECT_EQ(port_->RxBuffer.Data, before) << "the storage is kept";
      EXPECT_EQ(sim::pool::Attempts() - attempts, requestAttempts) << "pool asked for a size that is refused";
    } else {
      EXPECT_EQ(sim::pool::AllocationIrql(port_->RxBuffer.Data), std::optional<KIRQL>(PASSIVE_LEVEL))
          << "the storage was taken at a raised IRQL, under the spin lock";
    }
  }
  SERIAL_COMMPROP properties = Get<SERIAL_COMMPROP>(IOCTL_SERIAL_GET_PROPERTIES);
  EXPECT_EQ(properties.CurrentRxQueue, RECEIVE_BUFFER_LARGEST - 1);
  auto read = Read(3);
  EXPECT_EQ(read->Transferred(), (std::vector<uint8_t>{1, 2, 3})) << "the bytes survived every growth";
}

TEST_F(ControlTest, PropertiesAnnounceWhatTheSettingsAccept) {
  SERIAL_COMMPROP p = Get<SERIAL_COMMPROP>(IOCTL_SERIAL_GET_PROPERTIES);
  EXPECT_EQ(p.PacketLength, 64);
  EXPECT_EQ(p.PacketVersion, 2);
  EXPECT_EQ(p.ServiceMask, 1u);
  EXPECT_EQ(p.Reserved1, 0u);
  EXPECT_EQ(p.MaxTxQueue, 512u);
  EXPECT_EQ(p.MaxRxQueue, 1023u);
  EXPECT_EQ(p.MaxBaud, 0x10000000u);
  EXPECT_EQ(p.ProvSubType, 1u);
  EXPECT_EQ(p.ProvCapabilities, 0x1FBu);
  EXPECT_EQ(p.SettableParams, 0x3Fu);
  EXPECT_EQ(p.SettableBaud, 0x10000FFFu);
  EXPECT_EQ(p.SettableData, 0x000F);
  EXPECT_EQ(p.SettableStopParity, 0x1F07);
  EXPECT_EQ(p.CurrentTxQueue, 512u);
  EXPECT_EQ(p.CurrentRxQueue, 1023u);
  EXPECT_EQ(p.ProvSpec1, 0u);
  EXPECT_EQ(p.ProvSpec2, 0u);
  EXPECT_EQ(p.ProvChar[0], 0);
}

TEST_F(ControlTest, CommStatusCountsTheBufferedBytesAndTheUnacceptedBytesOfTheCurrentWrite) {
  Device().SendIn(std::vector<uint8_t>(10, 7));
  Device().HoldOut();
  auto write = Write(std::vector<uint8_t>(1000, 1));
  auto queued = Write(std::vector<uint8_t>(50, 2));  // queued writes are not counted
  Device().ReleaseOut();
  Device().ReleaseOut();
  SERIAL_STATUS status = Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS);
  EXPECT_EQ(status.AmountInInQueue, 10u);
  EXPECT_EQ(status.AmountInOutQueue, 488u) << "512 of 1000 taken; the transfer on its way counts as not accepted";
  EXPECT_EQ(status.Errors, 0u);
  EXPECT_EQ(status.HoldReasons, 0u);
  EXPECT_FALSE(status.EofReceived);
  EXPECT_FALSE(status.WaitForImmediate);
  Device().AcceptAllOut();
  EXPECT_EQ(write->Status(), STATUS_SUCCESS);
  EXPECT_EQ(queued->Status(), STATUS_SUCCESS);
}

TEST_F(ControlTest, StatisticsAndErrorsReportWhatIsStoredAndClearTogether) {
  Device().SendIn(std::vector<uint8_t>(10, 7));
  SERIAL_STATUS status = Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS);
  EXPECT_EQ(status.AmountInInQueue, 10u);
  EXPECT_EQ(status.AmountInOutQueue, 0u);
  EXPECT_EQ(status.Errors, 0u);
  SERIALPERF_STATS stats = Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS);
  EXPECT_EQ(BytesOf(stats), std::vector<uint8_t>(sizeof stats, 0)) << "no path counts into them";

  // Counters set from elsewhere are reported as errors, and cleared.
  port_->BreakCount = 1;
  port_->PerfStats.FrameErrorCount = 2;
  port_->PerfStats.ParityErrorCount = 3;
  EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).Errors,
            static_cast<ULONG>(SERIAL_ERROR_BREAK | SERIAL_ERROR_FRAMING | SERIAL_ERROR_PARITY));
  EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).Errors, 0x13u) << "reading the status clears nothing";
  EXPECT_EQ(Control(IOCTL_SERIAL_CLEAR_STATS)->Status(), STATUS_SUCCESS);
  EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).Errors, 0u);
  EXPECT_EQ(port_->BreakCount, 0u);
}

TEST_F(ControlTest, EveryControlRequestOnAPortNotUsableIsRefused) {
  port_->Removed = TRUE;  // as surprise removal leaves it
  for (const CodeCase& row : kCodes) {
    auto request = Control(row.code, std::vector<uint8_t>(row.buffer == Buffer::Input ? row.minimum : 0, 0),
                           row.buffer == Buffer::Output ? row.minimum : 0);
    EXPECT_EQ(request->Status(), STATUS_DELETE_PENDING) << std::hex << row.code;
    EXPECT_EQ(request->Information(), 0u);
  }
  EXPECT_EQ(port_->CurrentWaitIrp, nullptr) << "no wait is held";
  port_->Removed = FALSE;
}
