#include "path_grant/icacls.h"

#include "base/quoting.h"
#include "base/text.h"
#include "base/utf8_lossy.h"
#include "win/path.h"
#include "win/system_folder.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo {
namespace {

std::vector<std::string> icacls_arguments(std::string_view target,
                                          const std::vector<std::string>& grants,
                                          std::span<const std::string_view> flags,
                                          std::string_view operation) {
  std::vector<std::string> args;
  args.reserve(1 + 2 * grants.size() + flags.size());
  args.emplace_back(target);
  for (const std::string& grant : grants) {
    args.emplace_back(operation);
    args.push_back(grant);
  }
  for (std::string_view flag : flags)
    args.emplace_back(flag);
  return args;
}

// Everything written to the pipe until its last writer closes it.
std::string drain(HANDLE pipe) {
  std::string bytes;
  char buffer[4096];
  while (true) {
    DWORD read = 0;
    // The end of the output reads as a broken pipe; any other failure ends the reading too.
    if (!ReadFile(pipe, buffer, sizeof buffer, &read, nullptr) || read == 0) break;
    bytes.append(buffer, read);
  }
  return bytes;
}

}  // namespace

std::expected<IcaclsRun, IoError> run_icacls(std::string_view target,
                                             const std::vector<std::string>& grants,
                                             std::span<const std::string_view> flags,
                                             std::string_view operation) {
  // Elevated, a tool found by a search could be one a user put in the current folder.
  auto folder = system_folder();
  if (!folder) return std::unexpected(folder.error());
  const std::string program = path::join(*folder, "icacls.exe");
  auto text = command_line(program, icacls_arguments(target, grants, flags, operation));
  // Only a program word holding a quote cannot be written; the system folder holds none.
  if (!text) return std::unexpected(IoError::from_win32(ERROR_INVALID_NAME));
  WideString line = to_wide_nul(*text);
  SECURITY_ATTRIBUTES inheritable{};
  inheritable.nLength = sizeof inheritable;
  inheritable.bInheritHandle = TRUE;

  // Standard error comes back through a pipe whose reading end stays with this process.
  unique_handle errors_read;
  unique_handle errors_write;
  if (!CreatePipe(errors_read.put(), errors_write.put(), &inheritable, 0))
    return std::unexpected(IoError::from_last_error());
  if (!SetHandleInformation(errors_read.get(), HANDLE_FLAG_INHERIT, 0))
    return std::unexpected(IoError::from_last_error());
  // Standard input is empty and standard output is dropped: both are the NUL device, so no
  // second pipe can fill up while standard error is read.
  unique_handle nul(CreateFileW(to_wide_nul("NUL").c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING, 0,
                                nullptr));
  if (!nul) return std::unexpected(IoError::from_last_error());

  STARTUPINFOW info{};
  info.cb = sizeof info;
  info.dwFlags = STARTF_USESTDHANDLES;
  info.hStdInput = nul.get();
  info.hStdOutput = nul.get();
  info.hStdError = errors_write.get();
  PROCESS_INFORMATION created{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &info,
                      &created)) {
    return std::unexpected(IoError::from_last_error());
  }
  unique_handle process(created.hProcess);
  unique_handle thread(created.hThread);
  // The child holds its own copies now; the pipe ends when the child's writer closes.
  errors_write.reset();
  nul.reset();
  thread.reset();

  const std::string errors = drain(errors_read.get());
  // Reading may have stopped early on a failure: with the pipe closed the child's further
  // writes fail instead of blocking it forever while it is awaited.
  errors_read.reset();
  if (WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0) {
    IoError error = IoError::from_last_error();
    TerminateProcess(process.get(), 1);
    return std::unexpected(error);
  }
  DWORD exit_code = 0;
  if (!GetExitCodeProcess(process.get(), &exit_code))
    return std::unexpected(IoError::from_last_error());
  IcaclsRun run{exit_code, {}};
  if (!run.ok()) {
    const std::string readable = utf8_lossy(errors);
    run.error_text = std::string(trim_white_space(readable));
  }
  return run;
}

}  // namespace tavo
