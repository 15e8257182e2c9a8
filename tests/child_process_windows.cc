// The child runner on Windows, which cannot fork. As GoogleTest's own death tests do
// there, the test executable is started again with only the current test selected; an
// environment variable tells it which of the test's calls to run and the pipe handles
// it inherited for that call's standard output and error.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "status/standard_error.h"
#include "tests/child_process.h"

namespace qztap::testing {
namespace {

// "<call> <stdout handle> <stderr handle>", in the child only.
constexpr wchar_t CHILD_VARIABLE[] = L"QZTAP_TEST_CHILD";
constexpr DWORD TIMED_OUT = 124;

struct ChildRole {
  unsigned call;
  HANDLE out;
  HANDLE err;
};

const std::optional<ChildRole>& childRole() {
  static const std::optional<ChildRole> role = []() -> std::optional<ChildRole> {
    constexpr DWORD ROOM = 64;
    wchar_t text[ROOM];
    const DWORD length = ::GetEnvironmentVariableW(CHILD_VARIABLE, text, ROOM);
    if (length == 0 || length >= ROOM) return std::nullopt;
    size_t at = 0;
    const std::wstring fields(text);
    const auto next = [&] {
      size_t used = 0;
      const unsigned long long value = std::stoull(fields.substr(at), &used);
      at += used;
      return value;
    };
    const auto call = static_cast<unsigned>(next());
    const auto out = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(next()));
    const auto err = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(next()));
    return ChildRole{call, out, err};
  }();
  return role;
}

// Calls of runInChild in the running test, counted from 0 at each test's start.
unsigned callsInThisTest = 0;

class CallCounter final : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override { callsInThisTest = 0; }
};

[[maybe_unused]] const bool counterInstalled =
    (::testing::UnitTest::GetInstance()->listeners().Append(new CallCounter), true);

// Makes `handle` the standard stream `which`, for the system's calls and the C runtime's
// descriptor `fd` alike, in binary mode.
void becomeStandard(DWORD which, int fd, HANDLE handle) {
  const int opened = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
  ::_dup2(opened, fd);
  ::_close(opened);
  ::_setmode(fd, _O_BINARY);
  ::SetStdHandle(which, reinterpret_cast<HANDLE>(::_get_osfhandle(fd)));
}

void letChildInherit(HANDLE handle) {
  ::SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
}

void readAll(HANDLE pipe, std::string* into) {
  char chunk[65536];
  DWORD got = 0;
  while (::ReadFile(pipe, chunk, sizeof chunk, &got, nullptr) && got > 0) into->append(chunk, got);
}

std::wstring widen(const char* ascii) {
  std::wstring wide;
  for (; *ascii != '\0'; ++ascii) wide.push_back(static_cast<wchar_t>(*ascii));
  return wide;
}

ChildOutcome runAgainFor(unsigned call, unsigned timeoutSeconds) {
  HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
  if (!::CreatePipe(&outRead, &outWrite, nullptr, 0) ||
      !::CreatePipe(&errRead, &errWrite, nullptr, 0)) {
    std::abort();
  }
  letChildInherit(outWrite);
  letChildInherit(errWrite);
  // The child's own standard streams, which carry GoogleTest's report of the skipped calls.
  SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  const HANDLE nul =
      ::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &inherited, OPEN_EXISTING, 0, nullptr);

  wchar_t executable[MAX_PATH];
  ::GetModuleFileNameW(nullptr, executable, MAX_PATH);
  const ::testing::TestInfo& test = *::testing::UnitTest::GetInstance()->current_test_info();
  std::wstring commandLine = L"\"" + std::wstring(executable) + L"\" --gtest_filter=" +
                             widen(test.test_suite_name()) + L"." + widen(test.name()) +
                             L" --gtest_catch_exceptions=0";
  const std::wstring role = std::to_wstring(call) + L" " +
                            std::to_wstring(reinterpret_cast<uintptr_t>(outWrite)) + L" " +
                            std::to_wstring(reinterpret_cast<uintptr_t>(errWrite));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = startup.hStdOutput = startup.hStdError = nul;
  PROCESS_INFORMATION child{};
  ::SetEnvironmentVariableW(CHILD_VARIABLE, role.c_str());
  const BOOL created = ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &child);
  ::SetEnvironmentVariableW(CHILD_VARIABLE, nullptr);
  for (const HANDLE childsOnly : {outWrite, errWrite, nul}) ::CloseHandle(childsOnly);
  if (!created) std::abort();

  ChildOutcome outcome;
  std::thread outReader(readAll, outRead, &outcome.out);
  std::thread errReader(readAll, errRead, &outcome.err);
  if (::WaitForSingleObject(child.hProcess, timeoutSeconds * 1000) == WAIT_TIMEOUT) {
    ::TerminateProcess(child.hProcess, TIMED_OUT);
  }
  ::WaitForSingleObject(child.hProcess, INFINITE);
  outReader.join();
  errReader.join();
  DWORD code = 0;
  ::GetExitCodeProcess(child.hProcess, &code);
  outcome.exitCode = static_cast<int>(code);
  for (const HANDLE done : {outRead, errRead, child.hProcess, child.hThread}) ::CloseHandle(done);
  return outcome;
}

}  // namespace

ChildOutcome runInChild(const std::function<void()>& body, unsigned timeoutSeconds) {
  const unsigned call = callsInThisTest++;
  const std::optional<ChildRole>& role = childRole();
  if (!role) return runAgainFor(call, timeoutSeconds);
  if (call != role->call) return {};
  becomeStandard(STD_OUTPUT_HANDLE, 1, role->out);
  becomeStandard(STD_ERROR_HANDLE, 2, role->err);
  body();
  std::fflush(nullptr);
  // As a fatal exit ends: the body's threads may still be running.
  endProcessNow(BODY_RETURNED);
}

}  // namespace qztap::testing
