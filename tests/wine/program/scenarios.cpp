#include "tests/wine/program/scenarios.h"

#include "tests/wine/bus/control.h"

#include <cstring>

namespace quillan_wine {
namespace {

// Generous bounds: the scenarios run on a shared machine, under Wine.
const DWORD kLimitMs = 10000;
const DWORD kSlackMs = 1500;

bool Open(Port& port, Outcome& outcome) {
  return port.Opened() || outcome.Fail("the port does not open, error %lu", GetLastError());
}

// --- settings ------------------------------------------------------------------------

struct LineSettings {
  DWORD baud;
  BYTE byteSize;
  BYTE parity;
  BYTE stopBits;
};

const LineSettings kLineSettings[] = {
    {115200, 8, NOPARITY, ONESTOPBIT},
    {9600, 7, EVENPARITY, TWOSTOPBITS},
    {57600, 8, ODDPARITY, ONESTOPBIT},
    {300, 5, MARKPARITY, ONE5STOPBITS},
};

const COMMTIMEOUTS kTimeoutSettings[] = {
    {0, 0, 0, 0, 0},
    {MAXDWORD, 0, 0, 0, 0},
    {20, 3, 700, 5, 900},
    {MAXDWORD, MAXDWORD, 250, 0, 40},
};

void Settings(const wchar_t* name, Outcome& outcome) {
  Port port(name, false);
  if (!Open(port, outcome)) return;
  for (const LineSettings& want : kLineSettings) {
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port.Handle(), &dcb)) {
      outcome.Fail("GetCommState failed, error %lu", GetLastError());
      return;
    }
    dcb.BaudRate = want.baud;
    dcb.ByteSize = want.byteSize;
    dcb.Parity = want.parity;
    dcb.StopBits = want.stopBits;
    if (!SetCommState(port.Handle(), &dcb)) {
      outcome.Fail("SetCommState(%lu baud, %u bits) failed, error %lu", want.baud, want.byteSize, GetLastError());
      return;
    }
    DCB got = {};
    got.DCBlength = sizeof got;
    if (!GetCommState(port.Handle(), &got)) {
      outcome.Fail("GetCommState failed, error %lu", GetLastError());
      return;
    }
    if (got.BaudRate != want.baud || got.ByteSize != want.byteSize || got.Parity != want.parity ||
        got.StopBits != want.stopBits) {
      outcome.Fail("set %lu baud %u bits parity %u stop %u, read back %lu baud %u bits parity %u stop %u", want.baud,
                   want.byteSize, want.parity, want.stopBits, got.BaudRate, got.ByteSize, got.Parity, got.StopBits);
      return;
    }
  }
  for (const COMMTIMEOUTS& want : kTimeoutSettings) {
    COMMTIMEOUTS set = want;
    COMMTIMEOUTS got = {};
    if (!SetCommTimeouts(port.Handle(), &set) || !GetCommTimeouts(port.Handle(), &got)) {
      outcome.Fail("SetCommTimeouts or GetCommTimeouts failed, error %lu", GetLastError());
      return;
    }
    if (memcmp(&got, &want, sizeof got) != 0) {
      outcome.Fail("time-outs %lu/%lu/%lu/%lu/%lu read back as %lu/%lu/%lu/%lu/%lu", want.ReadIntervalTimeout,
                   want.ReadTotalTimeoutMultiplier, want.ReadTotalTimeoutConstant, want.WriteTotalTimeoutMultiplier,
                   want.WriteTotalTimeoutConstant, got.ReadIntervalTimeout, got.ReadTotalTimeoutMultiplier,
                   got.ReadTotalTimeoutConstant, got.WriteTotalTimeoutMultiplier, got.WriteTotalTimeoutConstant);
      return;
    }
  }
}

// --- data ----------------------------------------------------------------------------------

const size_t kDataBytes = 64 * 1024;

// Synchronous writes and reads of 512 bytes, one after the other; with all
// read time-outs 0 each read waits until it is full.
void DataSync(const wchar_t* name, Outcome& outcome) {
  Port port(name, false);
  if (!Open(port, outcome) || !SetTimeouts(port.Handle(), 0, 0, 0, outcome)) return;
  const std::vector<unsigned char> data = TestBytes(kDataBytes, 1);
  std::vector<unsigned char> back(kDataBytes);
  const DWORD chunk = 512;
  for (DWORD at = 0; at < kDataBytes; at += chunk) {
    DWORD moved = 0;
    if (!WriteFile(port.Handle(), &data[at], chunk, &moved, nullptr) || moved != chunk) {
      outcome.Fail("write at byte %lu moved %lu of %lu bytes, error %lu", at, moved, chunk, GetLastError());
      return;
    }
    if (!ReadFile(port.Handle(), &back[at], chunk, &moved, nullptr) || moved != chunk) {
      outcome.Fail("read at byte %lu moved %lu of %lu bytes, error %lu", at, moved, chunk, GetLastError());
      return;
    }
  }
  SameBytes(data, back.data(), back.size(), outcome);
}

// One overlapped read of 64 KiB in flight while one overlapped write of
// 64 KiB goes out.
void DataOverlapped(const wchar_t* name, Outcome& outcome) {
  Port port(name, true);
  if (!Open(port, outcome) || !SetTimeouts(port.Handle(), 0, 0, 0, outcome)) return;
  Echo(port.Handle(), TestBytes(kDataBytes, 2), 30000, outcome);
}

// --- read time-outs -----------------------------------------------------------------------

// Starts a read of `length` bytes and waits for its end; false if it did
// not end within the limit or failed.
bool TimedRead(HANDLE port, DWORD length, DWORD limitMs, Ended& ended, std::vector<unsigned char>& into,
               Outcome& outcome) {
  into.assign(length, 0);
  Pending read;
  DWORD start = GetTickCount();
  if (!StartRead(port, into.data(), length, read, outcome)) return false;
  ended = WaitFor(port, read, start, limitMs);
  if (!ended.finished) return outcome.Fail("the read did not end within %lu ms", limitMs);
  if (!ended.succeeded) return outcome.Fail("the read failed, error %lu", ended.error);
  return true;
}

bool WriteAll(HANDLE port, const std::vector<unsigned char>& data, Outcome& outcome) {
  Pending write;
  DWORD start = GetTickCount();
  if (!StartWrite(port, data.data(), static_cast<DWORD>(data.size()), write, outcome)) return false;
  Ended ended = WaitFor(port, write, start, kLimitMs);
  if (ended.succeeded && ended.bytes == data.size()) return true;
  return outcome.Fail("a write of %u bytes moved %lu, error %lu", static_cast<unsigned>(data.size()), ended.bytes,
                      ended.error);
}

// Waits until `count` bytes are waiting in the port's receive buffer.
bool WaitForQueued(HANDLE port, DWORD count, Outcome& outcome) {
  COMSTAT status = {};
  for (DWORD waited = 0; waited < kLimitMs; waited += 10) {
    DWORD errors;
    if (!ClearCommError(port, &errors, &status)) return outcome.Fail("ClearCommError failed, error %lu", GetLastError());
    if (status.cbInQue >= count) return true;
    Sleep(10);
  }
  return outcome.Fail("%lu bytes waiting after %lu ms, expected %lu", status.cbInQue, kLimitMs, count);
}

// ReadTotalTimeoutConstant alone: a read that gets nothing ends after it,
// successfully, with no bytes.
void TimeoutTotal(const wchar_t* name, Outcome& outcome) {
  Port port(name, true);
  if (!Open(port, outcome) || !SetTimeouts(port.Handle(), 0, 0, 300, outcome)) return;
  Ended ended;
  std::vector<unsigned char> back;
  if (!TimedRead(port.Handle(), 16, kLimitMs, ended, back, outcome)) return;
  if (ended.bytes != 0) outcome.Fail("%lu bytes read from a silent device", ended.bytes);
  if (ended.elapsedMs < 250 || ended.elapsedMs > 300 + 2 * kSlackMs) {
    outcome.Fail("the read ended after %lu ms; its time-out is 300 ms", ended.elapsedMs);
  }
}

// ReadIntervalTimeout alone: a read ends once the bytes stop coming.
void TimeoutInterval(const wchar_t* name, Outcome& outcome) {
  Port port(name, true);
  if (!Open(port, outcome) || !SetTimeouts(port.Handle(), 50, 0, 0, outcome)) return;
  const std::vector<unsigned char> data = TestBytes(5, 3);
  std::vector<unsigned char> back(64);
  Pending read;
  DWORD start = GetTickCount();
  if (!StartRead(port.Handle(), back.data(), 64, read, outcome) || !WriteAll(port.Handle(), data, outcome)) {
    WaitFor(port.Handle(), read, start, 0);
    return;
  }
  Ended ended = WaitFor(port.Handle(), read, start, kLimitMs);
  if (!ended.finished) {
    outcome.Fail("the read did not end within %lu ms of the last byte", kLimitMs);
    return;
  }
  if (!ended.succeeded) outcome.Fail("the read failed, error %lu", ended.error);
  if (ended.elapsedMs > 2 * kSlackMs) outcome.Fail("the read ended %lu ms after it began", ended.elapsedMs);
  SameBytes(data, back.data(), ended.bytes, outcome);
}

// ReadIntervalTimeout MAXDWORD, both totals 0: a read returns at once with
// what is buffered, even nothing.
void TimeoutAtOnce(const wchar_t* name, Outcome& outcome) {
  Port port(name, true);
  if (!Open(port, outcome) || !SetTimeouts(port.Handle(), MAXDWORD, 0, 0, outcome)) return;
  Ended ended;
  std::vector<unsigned char> back;
  if (!TimedRead(port.Handle(), 16, kLimitMs, ended, back, outcome)) return;
  if (ended.bytes != 0 || ended.elapsedMs > kSlackMs) {
    outcome.Fail("with nothing buffered the read took %lu ms and got %lu bytes; expected at once, none",
                 ended.elapsedMs, ended.bytes);
    return;
  }
  const std::vector<unsigned char> data = TestBytes(3, 4);
  if (!WriteAll(port.Handle(), data, outcome) || !WaitForQueued(port.Handle(), 3, outcome)) return;
  if (!TimedRead(port.Handle(), 16, kLimitMs, ended, back, outcome)) return;
  if (ended.elapsedMs > kSlackMs) outcome.Fail("with 3 bytes buffered the read took %lu ms", ended.elapsedMs);
  SameBytes(data, back.data(), ended.bytes, outcome);
}

// ReadIntervalTimeout and ReadTotalTimeoutMultiplier MAXDWORD, constant K:
// buffered bytes return at once; otherwise the first byte to arrive ends
// the read; with none it times out after K.
void TimeoutFirstByte(const wchar_t* name, Outcome& outcome) {
  const DWORD constant = 3000;
  Port port(name, true);
  if (!Open(port, outcome) || !SetTimeouts(port.Handle(), MAXDWORD, MAXDWORD, constant, outcome)) return;
  Ended ended;
  std::vector<unsigned char> back;
  if (!TimedRead(port.Handle(), 16, constant + kLimitMs, ended, back, outcome)) return;
  if (ended.bytes != 0 || ended.elapsedMs + 500 < constant || ended.elapsedMs > constant + 2 * kSlackMs) {
    outcome.Fail("with nothing arriving the read ended after %lu ms with %lu bytes; expected %lu ms, none",
                 ended.elapsedMs, ended.bytes, constant);
    return;
  }
  const std::vector<unsigned char> buffered = TestBytes(3, 5);
  if (!WriteAll(port.Handle(), buffered, outcome) || !WaitForQueued(port.Handle(), 3, outcome)) return;
  if (!TimedRead(port.Handle(), 16, constant + kLimitMs, ended, back, outcome)) return;
  if (ended.elapsedMs > kSlackMs) outcome.Fail("with 3 bytes buffered the read took %lu ms", ended.elapsedMs);
  if (!SameBytes(buffered, back.data(), ended.bytes, outcome)) return;

  const std::vector<unsigned char> arriving = TestBytes(2, 6);
  back.assign(16, 0);
  Pending read;
  DWORD start = GetTickCount();
  if (!StartRead(port.Handle(), back.data(), 16, read, outcome)) return;
  Sleep(200);
  if (!WriteAll(port.Handle(), arriving, outcome)) {
    WaitFor(port.Handle(), read, start, 0);
    return;
  }
  ended = WaitFor(port.Handle(), read, start, constant + kLimitMs);
  if (!ended.succeeded) {
    outcome.Fail("the read waiting for a first byte failed, error %lu", ended.error);
    return;
  }
  if (ended.elapsedMs + 500 >= constant) {
    outcome.Fail("the read waiting for a first byte ended after %lu ms with %lu bytes, not when the bytes came",
                 ended.elapsedMs, ended.bytes);
    return;
  }
  SameBytes(arriving, back.data(), ended.bytes, outcome);
}

// --- events ---------------------------------------------------------------------------------

bool WaitEvent(HANDLE port, DWORD mask, DWORD expected, const std::vector<unsigned char>* write, Outcome& outcome) {
  if (!SetCommMask(port, mask)) return outcome.Fail("SetCommMask(0x%lx) failed, error %lu", mask, GetLastError());
  DWORD events = 0;
  Pending wait;
  DWORD start = GetTickCount();
  if (!WaitCommEvent(port, &events, &wait.overlapped) && GetLastError() != ERROR_IO_PENDING) {
    return outcome.Fail("WaitCommEvent failed at once, error %lu", GetLastError());
  }
  if (write != nullptr && !WriteAll(port, *write, outcome)) {
    WaitFor(port, wait, start, 0);
    return false;
  }
  Ended ended = WaitFor(port, wait, start, kLimitMs);
  if (!ended.finished) return outcome.Fail("no event 0x%lx within %lu ms", expected, kLimitMs);
  if (!ended.succeeded) return outcome.Fail("WaitCommEvent failed, error %lu", ended.error);
  if ((events & expected) != expected || (events & ~mask) != 0) {
    return outcome.Fail("WaitCommEvent with mask 0x%lx reported 0x%lx, expected 0x%lx", mask, events, expected);
  }
  return true;
}

void CommEvents(const wchar_t* name, Outcome& outcome) {
  Port port(name, true);
  if (!Open(port, outcome) || !SetTimeouts(port.Handle(), 0, 0, 0, outcome)) return;
  const std::vector<unsigned char> one = TestBytes(1, 7);
  if (!WaitEvent(port.Handle(), EV_RXCHAR, EV_RXCHAR, &one, outcome)) return;
  const std::vector<unsigned char> four = TestBytes(4, 8);
  if (!WaitEvent(port.Handle(), EV_TXEMPTY, EV_TXEMPTY, &four, outcome)) return;
  std::vector<unsigned char> back;
  Ended ended;
  if (!TimedRead(port.Handle(), 5, kLimitMs, ended, back, outcome)) return;
  std::vector<unsigned char> both = one;
  both.insert(both.end(), four.begin(), four.end());
  if (!SameBytes(both, back.data(), ended.bytes, outcome)) return;

  // A new mask ends a wait in progress, with no events. EV_ERR, which this
  // device never causes, keeps remembered events out of it.
  if (!SetCommMask(port.Handle(), EV_ERR)) {
    outcome.Fail("SetCommMask failed, error %lu", GetLastError());
    return;
  }
  DWORD events = 0xFFFF;
  Pending wait;
  DWORD start = GetTickCount();
  if (!WaitCommEvent(port.Handle(), &events, &wait.overlapped) && GetLastError() != ERROR_IO_PENDING) {
    outcome.Fail("WaitCommEvent failed at once, error %lu", GetLastError());
    return;
  }
  Sleep(100);
  if (!SetCommMask(port.Handle(), EV_ERR)) outcome.Fail("SetCommMask failed, error %lu", GetLastError());
  Ended ended2 = WaitFor(port.Handle(), wait, start, kLimitMs);
  if (!ended2.finished) {
    outcome.Fail("a new mask did not end the wait in progress");
  } else if (!ended2.succeeded || events != 0) {
    outcome.Fail("the wait ended by a new mask reported 0x%lx, error %lu; expected no events", events, ended2.error);
  }
}

// --- cancel and purge ---------------------------------------------------------------------

// A read that would wait for ever, cancelled with CancelIo.
void CancelRead(const wchar_t* name, Outcome& outcome) {
  Port port(name, true);
  if (!Open(port, outcome) || !SetTimeouts(port.Handle(), 0, 0, 0, outcome)) return;
  unsigned char buffer[16];
  Pending read;
  DWORD start = GetTickCount();
  if (!StartRead(port.Handle(), buffer, sizeof buffer, read, outcome)) return;
  Sleep(100);
  if (HasOverlappedIoCompleted(&read.overlapped)) {
    outcome.Fail("a read of a silent device ended by itself");
    WaitFor(port.Handle(), read, start, 0);
    return;
  }
  CancelIo(port.Handle());
  Ended ended = WaitFor(port.Handle(), read, start, kLimitMs);
  if (!ended.finished) {
    outcome.Fail("CancelIo did not end the read within %lu ms", kLimitMs);
    return;
  }
  if (ended.succeeded || ended.error != ERROR_OPERATION_ABORTED) {
    outcome.Fail("the cancelled read ended with error %lu and %lu bytes, expected ERROR_OPERATION_ABORTED",
                 ended.error, ended.bytes);
    return;
  }
  // The port goes on working.
  Echo(port.Handle(), TestBytes(32, 9), kLimitMs, outcome);
}

void Purge(const wchar_t* name, Outcome& outcome) {
  Port port(name, true);
  if (!Open(port, outcome) || !SetTimeouts(port.Handle(), 0, 0, 0, outcome)) return;
  if (!WriteAll(port.Handle(), TestBytes(8, 10), outcome) || !WaitForQueued(port.Handle(), 8, outcome)) return;
  if (!PurgeComm(port.Handle(), PURGE_RXCLEAR | PURGE_TXCLEAR)) {
    outcome.Fail("PurgeComm(PURGE_RXCLEAR) failed, error %lu", GetLastError());
    return;
  }
  DWORD errors;
  COMSTAT status = {};
  if (!ClearCommError(port.Handle(), &errors, &status) || status.cbInQue != 0) {
    outcome.Fail("%lu bytes still waiting after PURGE_RXCLEAR", status.cbInQue);
    return;
  }
  unsigned char buffer[16];
  Pending read;
  DWORD start = GetTickCount();
  if (!StartRead(port.Handle(), buffer, sizeof buffer, read, outcome)) return;
  Sleep(100);
  if (!PurgeComm(port.Handle(), PURGE_RXABORT | PURGE_TXABORT)) {
    outcome.Fail("PurgeComm(PURGE_RXABORT) failed, error %lu", GetLastError());
  }
  Ended ended = WaitFor(port.Handle(), read, start, kLimitMs);
  if (!ended.finished) {
    outcome.Fail("PURGE_RXABORT did not end the read within %lu ms", kLimitMs);
  } else if (ended.succeeded || ended.error != ERROR_OPERATION_ABORTED) {
    outcome.Fail("the purged read ended with error %lu and %lu bytes, expected ERROR_OPERATION_ABORTED", ended.error,
                 ended.bytes);
  } else {
    // Nothing of the purged bytes comes back; new bytes do.
    Echo(port.Handle(), TestBytes(24, 11), kLimitMs, outcome);
  }
}

// --- flush ------------------------------------------------------------------------------------

void Flush(const wchar_t* name, Outcome& outcome) {
  Port port(name, false);
  if (!Open(port, outcome) || !SetTimeouts(port.Handle(), 0, 0, 0, outcome)) return;
  const std::vector<unsigned char> data = TestBytes(300, 12);
  DWORD moved = 0;
  if (!WriteFile(port.Handle(), data.data(), 300, &moved, nullptr) || moved != 300) {
    outcome.Fail("the write moved %lu of 300 bytes, error %lu", moved, GetLastError());
    return;
  }
  if (!FlushFileBuffers(port.Handle())) {
    outcome.Fail("FlushFileBuffers failed, error %lu", GetLastError());
    return;
  }
  std::vector<unsigned char> back(300);
  if (!ReadFile(port.Handle(), back.data(), 300, &moved, nullptr)) {
    outcome.Fail("the read failed, error %lu", GetLastError());
    return;
  }
  SameBytes(data, back.data(), moved, outcome);
}

// --- unplug -------------------------------------------------------------------------------------

bool Unplug(Outcome& outcome) {
  HANDLE bus = CreateFileA(QUILLAN_TESTBUS_WIN32_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
  if (bus == INVALID_HANDLE_VALUE) return outcome.Fail("the test bus does not open, error %lu", GetLastError());
  DWORD returned;
  BOOL done = DeviceIoControl(bus, IOCTL_QUILLAN_TESTBUS_UNPLUG, nullptr, 0, nullptr, 0, &returned, nullptr);
  DWORD error = GetLastError();
  CloseHandle(bus);
  return done || outcome.Fail("the unplug request failed, error %lu", error);
}

// The device goes while the port is open with a read pending: the read
// ends (cancelled), later requests on the handle fail, the name goes.
void UnplugWhileOpen(const wchar_t* name, Outcome& outcome) {
  Port port(name, true);
  if (!Open(port, outcome) || !SetTimeouts(port.Handle(), 0, 0, 0, outcome)) return;
  unsigned char buffer[16];
  Pending read;
  DWORD start = GetTickCount();
  if (!StartRead(port.Handle(), buffer, sizeof buffer, read, outcome)) return;
  Sleep(100);
  if (!Unplug(outcome)) {
    WaitFor(port.Handle(), read, start, 0);
    return;
  }
  Ended ended = WaitFor(port.Handle(), read, start, kLimitMs);
  if (!ended.finished) {
    outcome.Fail("the pending read did not end within %lu ms of the unplug", kLimitMs);
    return;
  }
  if (ended.succeeded || ended.error != ERROR_OPERATION_ABORTED) {
    outcome.Fail("the pending read ended with error %lu and %lu bytes, expected ERROR_OPERATION_ABORTED",
                 ended.error, ended.bytes);
    return;
  }
  Pending later;
  start = GetTickCount();
  if (ReadFile(port.Handle(), buffer, sizeof buffer, nullptr, &later.overlapped) ||
      GetLastError() == ERROR_IO_PENDING) {
    Ended after = WaitFor(port.Handle(), later, start, kLimitMs);
    if (!after.finished) {
      outcome.Fail("a read after the unplug was still pending after %lu ms", kLimitMs);
      return;
    }
    if (after.succeeded) {
      outcome.Fail("a read after the unplug succeeded with %lu bytes", after.bytes);
      return;
    }
  }
  port.Close();
  for (DWORD waited = 0;; waited += 50) {
    Port again(name, true);
    if (!again.Opened()) break;
    if (waited >= kLimitMs) {
      outcome.Fail("the port still opens %lu ms after the unplug", kLimitMs);
      return;
    }
    again.Close();
    Sleep(50);
  }
}

}  // namespace

const Scenario kScenarios[] = {
    {"settings", Settings},
    {"data", DataSync},
    {"data-overlapped", DataOverlapped},
    {"comm-events", CommEvents},
    {"cancel-read", CancelRead},
    {"purge", Purge},
    {"flush", Flush},
    {"timeout-total", TimeoutTotal},
    {"timeout-interval", TimeoutInterval},
    {"timeout-at-once", TimeoutAtOnce},
    {"timeout-first-byte", TimeoutFirstByte},
    {"unplug", UnplugWhileOpen},
};
const size_t kScenarioCount = sizeof kScenarios / sizeof kScenarios[0];

}  // namespace quillan_wine
