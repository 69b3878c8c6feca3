#include "windows/child_process.h"

#include <gtest/gtest.h>

#include "win/api.h"
#include "win/env.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo::windows_testing {

ChildOutcome run_child(const std::string& command_line, bool with_input) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  unique_handle nul(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                OPEN_EXISTING, 0, nullptr));
  unique_handle read_end, write_end;  // the write end is inheritable: the child's
  EXPECT_TRUE(CreatePipe(read_end.put(), write_end.put(), &inherit, 0)) << GetLastError();
  SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = with_input ? nul.get() : nullptr;
  startup.hStdOutput = startup.hStdError = write_end.get();
  WideString line = to_wide_nul(command_line);
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &started)) {
    ADD_FAILURE() << "CreateProcessW(" << command_line << "): " << GetLastError();
    return {};
  }
  unique_handle process(started.hProcess), thread(started.hThread);
  write_end.reset();  // the child holds its own copy; ours would keep the pipe open for ever
  ChildOutcome outcome;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(read_end.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
    outcome.out.append(buffer, got);
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
  unique_handle token;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  return OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()) &&
         GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size) &&
         elevation.TokenIsElevated != 0;
}

}  // namespace tavo::windows_testing
