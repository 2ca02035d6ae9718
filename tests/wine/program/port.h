/*
 * What the scenarios share: opening the port, bounded waits for
 * overlapped requests, test data, and recording the first failure.
 */
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace quillan_wine {

// The first failure of a scenario; empty while it passes.
struct Outcome {
  std::string failure;
  bool Ok() const { return failure.empty(); }
  // Records the failure (the first one only) and returns false.
  bool Fail(const char* format, ...);
};

// One open port handle, closed when it goes out of scope.
class Port {
 public:
  Port(const wchar_t* name, bool overlapped);
  ~Port();
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;
  bool Opened() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Handle() const { return handle_; }
  void Close();

 private:
  HANDLE handle_;
};

// An overlapped request in flight: its OVERLAPPED with an event of its own.
struct Pending {
  Pending();
  ~Pending();
  Pending(const Pending&) = delete;
  Pending& operator=(const Pending&) = delete;
  OVERLAPPED overlapped;
};

// How an overlapped request ended.
struct Ended {
  bool finished;   // ended within the time allowed (else it was cancelled)
  bool succeeded;  // GetOverlappedResult's answer
  DWORD error;     // GetLastError when it failed
  DWORD bytes;
  DWORD elapsedMs; // from the start given to WaitFor
};

// Waits up to limitMs for the request to end; one that has not is cancelled
// with CancelIo and waited for, so that its buffers may be released.
Ended WaitFor(HANDLE port, Pending& pending, DWORD startTick, DWORD limitMs);

// Starts an overlapped read or write; false (with the outcome's failure)
// when the call fails other than by pending.
bool StartRead(HANDLE port, void* buffer, DWORD length, Pending& pending, Outcome& outcome);
bool StartWrite(HANDLE port, const void* buffer, DWORD length, Pending& pending, Outcome& outcome);

// Writes and reads back `length` bytes through overlapped requests, each
// bounded by limitMs; checks the bytes.
bool Echo(HANDLE port, const std::vector<unsigned char>& data, DWORD limitMs, Outcome& outcome);

bool SetTimeouts(HANDLE port, DWORD interval, DWORD multiplier, DWORD constant, Outcome& outcome);

// Reproducible test bytes: every value occurs, no period shorter than the data.
std::vector<unsigned char> TestBytes(size_t length, unsigned seed);

// The first position where `got` differs from `expected` (or where one ends).
bool SameBytes(const std::vector<unsigned char>& expected, const unsigned char* got, size_t gotLength,
               Outcome& outcome);

}  // namespace quillan_wine
