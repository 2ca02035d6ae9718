// The kernel's printf family in the simulated kernel: DbgPrint as the kernel
// debugger shows it, the C run-time's _vsnprintf and _vsnwprintf with the
// Windows rules for a full buffer, and the platform's RtlStringCchPrintfW on
// top of them. Wide strings never reach GoogleTest: they are shown as ASCII.
#include "support/kernel_test.h"

#include "driver/platform/platform.h"
#include "sim/rtl/debug.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

using sim::verifier::Rule;

namespace {

// Shows `count` characters of a buffer: the terminating null as \0, other
// characters outside ASCII as \x.., so every position of the buffer is seen.
template <typename Char>
std::string Show(const Char* buffer, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    auto c = static_cast<unsigned>(static_cast<typename std::make_unsigned<Char>::type>(buffer[i]));
    if (c == 0) {
      text += "\\0";
    } else if (c >= 0x20 && c < 0x7F) {
      text += static_cast<char>(c);
    } else {
      char hex[12];
      std::snprintf(hex, sizeof hex, "\\x%X", c);
      text += hex;
    }
  }
  return text;
}

// A null-terminated wide string, as ASCII.
std::string Show(const WCHAR* text) {
  size_t length = 0;
  while (text[length] != 0) ++length;
  return Show(text, length);
}

std::string LastMessage() {
  std::vector<std::string> messages = sim::debug::Messages();
  return messages.empty() ? "(no message)" : messages.back();
}

int CallVsnprintf(char* buffer, size_t count, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int result = _vsnprintf(buffer, count, format, args);
  va_end(args);
  return result;
}

int CallVsnwprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  int result = _vsnwprintf(buffer, count, format, args);
  va_end(args);
  return result;
}

// Bytes placed at the very end of a readable page, with an inaccessible page
// right after them: reading one byte too far crashes the test instead of
// going unnoticed.
class GuardedBytes {
 public:
  explicit GuardedBytes(const void* bytes, size_t size) {
    page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* map = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) return;
    base_ = static_cast<char*>(map);
    mprotect(base_ + page_, page_, PROT_NONE);
    at_ = base_ + page_ - size;
    std::memcpy(at_, bytes, size);
  }
  ~GuardedBytes() {
    if (base_ != nullptr) munmap(base_, 2 * page_);
  }
  GuardedBytes(const GuardedBytes&) = delete;
  GuardedBytes& operator=(const GuardedBytes&) = delete;
  void* get() const { return at_; }

 private:
  size_t page_ = 0;
  char* base_ = nullptr;
  char* at_ = nullptr;
};

}  // namespace

class FormatTest : public KernelTest {};

// Each case prints one message with DbgPrint; the debugger sees exactly it.
TEST_F(FormatTest, DbgPrintFormatsAsTheKernelDebuggerShows) {
  static WCHAR comBuffer[] = {L'C', L'O', L'M', L'3', L'X', L'Y'};  // no terminating null
  static UNICODE_STRING comName = {4 * sizeof(WCHAR), sizeof comBuffer, comBuffer};
  static UNICODE_STRING emptyName = {0, sizeof comBuffer, comBuffer};
  static char ansiBuffer[] = {'a', 'b', 'c', 'd'};
  static ANSI_STRING ansi = {3, sizeof ansiBuffer, ansiBuffer};

  struct Case {
    const char* what;
    void (*print)();
    std::string expected;
  } const cases[] = {
      {"%d", [] { DbgPrint("IrpStack->MinorFunction %d \n", 2); }, "IrpStack->MinorFunction 2 \n"},
      {"%x of a status", [] { DbgPrint("WriteUrbIrp Error %x\n", STATUS_CANCELLED); },
       "WriteUrbIrp Error c0000120\n"},
      {"%X", [] { DbgPrint("%X", 0xabcdefu); }, "ABCDEF"},
      {"%08x", [] { DbgPrint("%08x", 0x1bu); }, "0000001b"},
      {"%#x", [] { DbgPrint("%#x", 0x1bu); }, "0x1b"},
      {"widths", [] { DbgPrint("[%5d|%-5d|%05d]", 42, 42, -42); }, "[   42|42   |-0042]"},
      {"%u of the largest ULONG", [] { DbgPrint("%u", 0xFFFFFFFFu); }, "4294967295"},
      {"%d of a negative", [] { DbgPrint("%d %i", -1, -2); }, "-1 -2"},
      {"%o", [] { DbgPrint("%o", 8); }, "10"},
      {"%ld and %lx are 32 bits", [] { DbgPrint("%ld %lx %d", static_cast<LONG>(-5), 0xdeadbeefu, 7); },
       "-5 deadbeef 7"},
      {"%I64x", [] { DbgPrint("%I64x", 0x123456789abcdef0ULL); }, "123456789abcdef0"},
      {"%I64d", [] { DbgPrint("%I64d", -9000000000LL); }, "-9000000000"},
      {"%I64u then an int", [] { DbgPrint("%I64u then %d", 1ULL << 40, 7); }, "1099511627776 then 7"},
      {"%llx", [] { DbgPrint("%llx|%d", 0xF00000000ULL, 3); }, "f00000000|3"},
      {"%I32x then an int", [] { DbgPrint("%I32x %d", 0xabcu, 5); }, "abc 5"},
      {"%Ix is pointer-sized", [] { DbgPrint("%Ix %d", static_cast<ULONG_PTR>(0x1234), 9); }, "1234 9"},
      {"%hx and %hd print a short", [] { DbgPrint("%hx %hd %hu", 0x12345, 0x18000, 0x1FFFF); }, "2345 -32768 65535"},
      {"negative width from the arguments", [] { DbgPrint("[%*d|%-*d]", -4, 7, 3, 8); }, "[7   |8  ]"},
      {"negative precision from the arguments", [] { DbgPrint("[%.*d|%.*s]", -1, 42, -3, "abc"); },
       "[42|abc]"},
      {"a field wider than any small buffer", [] { DbgPrint("%150d|", 1); }, std::string(149, ' ') + "1|"},
      {"%s", [] { DbgPrint("%s!", "abc"); }, "abc!"},
      {"%s with width and precision", [] { DbgPrint("[%6s|%-6s|%.2s]", "abc", "abc", "abcdef"); },
       "[   abc|abc   |ab]"},
      {"%s of null", [] { DbgPrint("%s", static_cast<const char*>(nullptr)); }, "(null)"},
      {"%ws", [] { DbgPrint("Port %ws\n", L"Serial_0001"); }, "Port Serial_0001\n"},
      {"%S and %ls are wide in DbgPrint", [] { DbgPrint("%S|%ls", L"COM3", L"COM4"); }, "COM3|COM4"},
      {"%hs is narrow", [] { DbgPrint("%hs", "narrow"); }, "narrow"},
      {"%wZ stops at Length", [] { DbgPrint("name %wZ.", &comName); }, "name COM3."},
      {"%wZ with width", [] { DbgPrint("[%10wZ|%-6wZ]", &comName, &comName); }, "[      COM3|COM3  ]"},
      {"%wZ of an empty string", [] { DbgPrint("[%wZ]", &emptyName); }, "[]"},
      {"%Z of an ANSI_STRING", [] { DbgPrint("%Z", &ansi); }, "abc"},
      {"%c", [] { DbgPrint("%c%c%3c", 'O', 'K', '!'); }, "OK  !"},
      {"%%", [] { DbgPrint("100%% done"); }, "100% done"},
      {"no conversion", [] { DbgPrint("QUILLAN\n"); }, "QUILLAN\n"},
  };
  for (const Case& c : cases) {
    sim::debug::Clear();
    c.print();
    EXPECT_EQ(LastMessage(), c.expected) << c.what;
  }
  EXPECT_TRUE(sim::verifier::Findings().empty()) << sim::verifier::Describe(sim::verifier::Findings());
}

TEST_F(FormatTest, DbgPrintKeepsOneMessagePerCallInOrder) {
  EXPECT_TRUE(sim::debug::Messages().empty()) << "a fresh kernel has no messages";
  DbgPrint("first %d\n", 1);
  DbgPrint("second\n");
  DbgPrint("");
  EXPECT_EQ(sim::debug::Messages(), (std::vector<std::string>{"first 1\n", "second\n", ""}));
  sim::debug::Clear();
  EXPECT_TRUE(sim::debug::Messages().empty());
}

// A string with a precision, or a counted string, needs no terminating null;
// the formatting must not read past what it was given.
TEST_F(FormatTest, CountedTextIsNotReadPastItsEnd) {
  const char narrow[] = {'a', 'b', 'c'};
  GuardedBytes guardedNarrow(narrow, sizeof narrow);
  const WCHAR wide[] = {L'C', L'O', L'M', L'7'};
  GuardedBytes guardedWide(wide, sizeof wide);
  ASSERT_NE(guardedNarrow.get(), nullptr);
  ASSERT_NE(guardedWide.get(), nullptr);

  DbgPrint("%.3s|", static_cast<const char*>(guardedNarrow.get()));
  EXPECT_EQ(LastMessage(), "abc|");
  DbgPrint("%.4ws|", static_cast<const WCHAR*>(guardedWide.get()));
  EXPECT_EQ(LastMessage(), "COM7|");
  UNICODE_STRING name;
  name.Length = name.MaximumLength = sizeof wide;
  name.Buffer = static_cast<PWCH>(guardedWide.get());
  DbgPrint("%wZ|", &name);
  EXPECT_EQ(LastMessage(), "COM7|");

  WCHAR out[8];
  EXPECT_EQ(CallVsnwprintf(out, 8, L"%.2s", static_cast<const WCHAR*>(guardedWide.get())), 2);
  EXPECT_EQ(Show(out, 3), "CO\\0");
}

// How a driver prints a name: RtlInitUnicodeString, then %wZ. A text longer
// than a counted string can describe is cut to 0xFFFC bytes.
TEST_F(FormatTest, AnInitialisedUnicodeStringPrintsWithWZ) {
  struct Case {
    size_t characters;
    USHORT length;
  } const cases[] = {{0, 0}, {4, 8}, {32766, 0xFFFC}, {32767, 0xFFFC}, {40000, 0xFFFC}};
  for (const Case& c : cases) {
    std::vector<WCHAR> text(c.characters + 1, L'a');
    text[c.characters] = 0;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, text.data());
    EXPECT_EQ(name.Length, c.length) << c.characters << " characters: Length";
    EXPECT_EQ(name.MaximumLength, c.length + sizeof(WCHAR)) << c.characters << " characters: MaximumLength";
    EXPECT_EQ(name.Buffer, text.data());
    sim::debug::Clear();
    DbgPrint("[%wZ]", &name);
    EXPECT_EQ(LastMessage(), "[" + std::string(c.length / sizeof(WCHAR), 'a') + "]") << c.characters << " characters";
  }
  UNICODE_STRING none;
  RtlInitUnicodeString(&none, nullptr);
  EXPECT_EQ(none.Length, 0u);
  EXPECT_EQ(none.MaximumLength, 0u);
  EXPECT_EQ(none.Buffer, nullptr);
}

TEST_F(FormatTest, AConversionTheRunTimeDoesNotKnowIsReported) {
  DbgPrint("%f\n", 1.5);
  ExpectOnlyFinding(Rule::UnsupportedCall);
  DbgPrint("%n", static_cast<int*>(nullptr));
  ExpectOnlyFinding(Rule::UnsupportedCall);
}

// The Windows C run-time: the count written when the text fits (with a
// terminating null only if there is room for it), -1 when it does not, the
// buffer holding as much as fits and nothing written past count.
TEST_F(FormatTest, VsnprintfFollowsTheWindowsRunTime) {
  struct Case {
    size_t count;
    int result;
    const char* buffer;  // the first 8 positions afterwards; '#' is untouched
  } const cases[] = {
      {8, 5, "12-34\\0##"},
      {6, 5, "12-34\\0##"},
      {5, 5, "12-34###"},  // exactly fits: no terminating null
      {4, -1, "12-3####"},
      {1, -1, "1#######"},
      {0, -1, "########"},
  };
  for (const Case& c : cases) {
    char buffer[8];
    std::memset(buffer, '#', sizeof buffer);
    int result = CallVsnprintf(buffer, c.count, "%d-%d", 12, 34);
    EXPECT_EQ(result, c.result) << "_vsnprintf into " << c.count << ": result";
    EXPECT_EQ(Show(buffer, 8), c.buffer) << "_vsnprintf into " << c.count << ": buffer";

    WCHAR wide[8];
    for (WCHAR& w : wide) w = L'#';
    result = CallVsnwprintf(wide, c.count, L"%d-%d", 12, 34);
    EXPECT_EQ(result, c.result) << "_vsnwprintf into " << c.count << ": result";
    EXPECT_EQ(Show(wide, 8), c.buffer) << "_vsnwprintf into " << c.count << ": buffer";
  }

  char empty[2] = {'#', '#'};
  EXPECT_EQ(CallVsnprintf(empty, 0, ""), 0) << "empty text into no room fits";
  EXPECT_EQ(Show(empty, 2), "##");
}

TEST_F(FormatTest, StringConversionsDependOnTheFamily) {
  // In the narrow family %s is narrow and %S wide; in the wide family the
  // other way round. h and l (or w) force narrow and wide.
  char narrow[64];
  ASSERT_GT(CallVsnprintf(narrow, sizeof narrow, "%s|%S|%ws|%hs|%ls", "n", L"w", L"ws", "hs", L"ls"), 0);
  EXPECT_EQ(std::string(narrow), "n|w|ws|hs|ls");

  WCHAR wide[64];
  ASSERT_GT(CallVsnwprintf(wide, 64, L"%s|%S|%ws|%hs|%ls|%c|%C", L"w", "n", L"ws", "hs", L"ls", L'x', 'y'), 0);
  EXPECT_EQ(Show(wide), "w|n|ws|hs|ls|x|y");
}

// The platform's safe formatting helper, as the driver uses it for device
// names: it reserves one character for the null, and a text too long for the
// buffer is cut, null-terminated, with STATUS_BUFFER_OVERFLOW.
TEST_F(FormatTest, RtlStringCchPrintfWFormatsAndTruncatesSafely) {
  struct Case {
    size_t cch;
    NTSTATUS status;
    const char* buffer;  // the first 20 positions afterwards; '#' is untouched
  } const cases[] = {
      {20, STATUS_SUCCESS, "\\Device\\Serial3\\0####"},
      {16, STATUS_SUCCESS, "\\Device\\Serial3\\0####"},  // exactly fits with its null
      {15, STATUS_BUFFER_OVERFLOW, "\\Device\\Serial\\0#####"},
      {8, STATUS_BUFFER_OVERFLOW, "\\Device\\0############"},
      {1, STATUS_BUFFER_OVERFLOW, "\\0###################"},
      {0, STATUS_INVALID_PARAMETER, "####################"},
  };
  for (const Case& c : cases) {
    WCHAR name[20];
    for (WCHAR& w : name) w = L'#';
    NTSTATUS status = RtlStringCchPrintfW(name, c.cch, L"\\Device\\Serial%d", 3);
    EXPECT_EQ(status, c.status) << "into " << c.cch << " characters: got 0x" << std::hex << status << ", expected 0x"
                                << c.status << std::dec;
    EXPECT_EQ(Show(name, 20), c.buffer) << "into " << c.cch << " characters";
  }

  WCHAR name[64];
  EXPECT_EQ(RtlStringCchPrintfW(name, 64, L"\\Device\\Serial_%ws", L"0001"), STATUS_SUCCESS);
  EXPECT_EQ(Show(name), "\\Device\\Serial_0001");
  EXPECT_EQ(RtlStringCchPrintfW(name, 64, L"\\DosDevices\\%s", L"COM3"), STATUS_SUCCESS);
  EXPECT_EQ(Show(name), "\\DosDevices\\COM3");
  EXPECT_EQ(RtlStringCbPrintfW(name, 8 * sizeof(WCHAR), L"\\Device\\Serial%d", 12), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(Show(name), "\\Device") << "a byte count of 8 characters";
}
