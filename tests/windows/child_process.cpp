#include "windows/child_process.h"

#include <gtest/gtest.h>

#include <thread>

#include "win/api.h"
#include "win/env.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo::windows_testing {
namespace {

struct Pipe {
  unique_handle read;
  unique_handle write;  // inheritable: the child's end
};

Pipe make_pipe() {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  Pipe pipe;
  EXPECT_TRUE(CreatePipe(pipe.read.put(), pipe.write.put(), &inherit, 0)) << GetLastError();
  SetHandleInformation(pipe.read.get(), HANDLE_FLAG_INHERIT, 0);
  return pipe;
}

std::string drain(HANDLE read) {
  std::string text;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(read, buffer, sizeof buffer, &got, nullptr) && got > 0)
    text.append(buffer, got);
  return text;
}

}  // namespace

ChildOutcome run_child(const std::string& command_line, Stdio stdio) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  unique_handle nul(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                OPEN_EXISTING, 0, nullptr));
  Pipe out = make_pipe();
  Pipe err = stdio == Stdio::SharedPipe ? Pipe{} : make_pipe();

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = stdio == Stdio::NoStdin ? nullptr : nul.get();
  startup.hStdOutput = out.write.get();
  startup.hStdError = stdio == Stdio::SharedPipe ? out.write.get() : err.write.get();
  WideString line = to_wide_nul(command_line);
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &started)) {
    ADD_FAILURE() << "CreateProcessW(" << command_line << "): " << GetLastError();
    return {};
  }
  unique_handle process(started.hProcess), thread(started.hThread);
  // The child holds its own copies now; ours would keep the pipes open for ever.
  out.write.reset();
  err.write.reset();

  ChildOutcome outcome;
  std::thread errors([&] {
    if (err.read) outcome.err = drain(err.read.get());
  });
  outcome.out = drain(out.read.get());
  errors.join();
  WaitForSingleObject(process.get(), INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.get(), &code);
  outcome.exit_code = code;
  return outcome;
}

std::string program_under_test() {
  return env_var("TAVO_BINARY").value_or("");
}

bool is_elevated() {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
  unique_handle token(raw);
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  return GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size) &&
         elevation.TokenIsElevated != 0;
}

}  // namespace tavo::windows_testing
