#include "tests/wine/program/port.h"

#include <cstdarg>
#include <cstdio>

namespace quillan_wine {
namespace {

const NTSTATUS kStatusTimeout = 0x00000102;

}  // namespace

bool Outcome::Fail(const char* format, ...) {
  if (!failure.empty()) return false;
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  failure = text;
  return false;
}

Port::Port(const wchar_t* name, bool overlapped) {
  wchar_t path[64];
  std::swprintf(path, 64, L"\\\\.\\%ls", name);
  handle_ = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
}

Port::~Port() { Close(); }

void Port::Close() {
  if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
}

Pending::Pending() {
  ZeroMemory(&overlapped, sizeof overlapped);
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

Pending::~Pending() { CloseHandle(overlapped.hEvent); }

Ended WaitFor(HANDLE port, Pending& pending, DWORD startTick, DWORD limitMs) {
  Ended ended = {};
  DWORD waited = GetTickCount() - startTick;
  DWORD left = waited < limitMs ? limitMs - waited : 0;
  ended.finished = WaitForSingleObject(pending.overlapped.hEvent, left) == WAIT_OBJECT_0;
  if (!ended.finished) {
    CancelIo(port);
    WaitForSingleObject(pending.overlapped.hEvent, 5000);
  }
  ended.elapsedMs = GetTickCount() - startTick;
  ended.succeeded = GetOverlappedResult(port, &pending.overlapped, &ended.bytes, FALSE) != FALSE;
  ended.error = ended.succeeded ? 0 : GetLastError();
  // A request that ended with STATUS_TIMEOUT, a success status, succeeded
  // on Windows (a serial read whose time-out elapsed returns its bytes);
  // Wine's kernel32 reports every status but STATUS_SUCCESS as a failure.
  if (!ended.succeeded && static_cast<NTSTATUS>(pending.overlapped.Internal) == kStatusTimeout) {
    ended.succeeded = true;
    ended.error = 0;
    ended.bytes = static_cast<DWORD>(pending.overlapped.InternalHigh);
  }
  return ended;
}

bool StartRead(HANDLE port, void* buffer, DWORD length, Pending& pending, Outcome& outcome) {
  if (ReadFile(port, buffer, length, nullptr, &pending.overlapped) || GetLastError() == ERROR_IO_PENDING) return true;
  return outcome.Fail("ReadFile failed at once, error %lu", GetLastError());
}

bool StartWrite(HANDLE port, const void* buffer, DWORD length, Pending& pending, Outcome& outcome) {
  if (WriteFile(port, buffer, length, nullptr, &pending.overlapped) || GetLastError() == ERROR_IO_PENDING) return true;
  return outcome.Fail("WriteFile failed at once, error %lu", GetLastError());
}

bool Echo(HANDLE port, const std::vector<unsigned char>& data, DWORD limitMs, Outcome& outcome) {
  std::vector<unsigned char> back(data.size());
  Pending read;
  Pending write;
  DWORD start = GetTickCount();
  if (!StartRead(port, back.data(), static_cast<DWORD>(back.size()), read, outcome)) return false;
  if (!StartWrite(port, data.data(), static_cast<DWORD>(data.size()), write, outcome)) {
    WaitFor(port, read, start, 0);
    return false;
  }
  Ended wrote = WaitFor(port, write, start, limitMs);
  Ended got = WaitFor(port, read, start, limitMs);
  if (!wrote.succeeded || wrote.bytes != data.size()) {
    return outcome.Fail("write of %u bytes ended with %lu bytes, error %lu%s", static_cast<unsigned>(data.size()),
                        wrote.bytes, wrote.error, wrote.finished ? "" : " (did not end in time)");
  }
  if (!got.succeeded || got.bytes != data.size()) {
    return outcome.Fail("read of %u bytes ended with %lu bytes, error %lu%s", static_cast<unsigned>(data.size()),
                        got.bytes, got.error, got.finished ? "" : " (did not end in time)");
  }
  return SameBytes(data, back.data(), got.bytes, outcome);
}

bool SetTimeouts(HANDLE port, DWORD interval, DWORD multiplier, DWORD constant, Outcome& outcome) {
  COMMTIMEOUTS timeouts = {interval, multiplier, constant, 0, 0};
  if (SetCommTimeouts(port, &timeouts)) return true;
  return outcome.Fail("SetCommTimeouts(%lu, %lu, %lu) failed, error %lu", interval, multiplier, constant,
                      GetLastError());
}

std::vector<unsigned char> TestBytes(size_t length, unsigned seed) {
  std::vector<unsigned char> bytes(length);
  unsigned state = seed * 2654435761u + 1;
  for (size_t i = 0; i < length; ++i) {
    state = state * 1664525u + 1013904223u;
    bytes[i] = static_cast<unsigned char>(state >> 24);
  }
  return bytes;
}

bool SameBytes(const std::vector<unsigned char>& expected, const unsigned char* got, size_t gotLength,
               Outcome& outcome) {
  for (size_t i = 0; i < expected.size() && i < gotLength; ++i) {
    if (got[i] != expected[i]) {
      return outcome.Fail("byte %u is 0x%02x, expected 0x%02x", static_cast<unsigned>(i), got[i], expected[i]);
    }
  }
  if (gotLength != expected.size()) {
    return outcome.Fail("%u bytes came back, expected %u", static_cast<unsigned>(gotLength),
                        static_cast<unsigned>(expected.size()));
  }
  return true;
}

}  // namespace quillan_wine
