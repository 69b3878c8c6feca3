// Processes, job objects and pipes of the Win32 subset.
#pragma once

#include "winsim/security.h"
#include "winsim/types.h"

// ---- Start-up information and attribute lists ------------------------------------------------
struct PROC_THREAD_ATTRIBUTE_LIST_OPAQUE;
using LPPROC_THREAD_ATTRIBUTE_LIST = PROC_THREAD_ATTRIBUTE_LIST_OPAQUE*;

inline constexpr DWORD_PTR PROC_THREAD_ATTRIBUTE_HANDLE_LIST = 0x00020002;
inline constexpr DWORD_PTR PROC_THREAD_ATTRIBUTE_SECURITY_CAPABILITIES = 0x00020009;

// The list's buffer belongs to the caller; DeleteProcThreadAttributeList releases what
// InitializeProcThreadAttributeList set up in it.
BOOL InitializeProcThreadAttributeList(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD attribute_count,
                                       DWORD flags, PSIZE_T size);
BOOL UpdateProcThreadAttribute(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD flags, DWORD_PTR attribute,
                               PVOID value, SIZE_T size, PVOID previous_value, PSIZE_T return_size);
void DeleteProcThreadAttributeList(LPPROC_THREAD_ATTRIBUTE_LIST list);

struct SECURITY_CAPABILITIES {
  PSID AppContainerSid;
  PSID_AND_ATTRIBUTES Capabilities;
  DWORD CapabilityCount;
  DWORD Reserved;
};

inline constexpr DWORD STARTF_USESTDHANDLES = 0x00000100;

struct STARTUPINFOW {
  DWORD cb;
  LPWSTR lpReserved;
  LPWSTR lpDesktop;
  LPWSTR lpTitle;
  DWORD dwX;
  DWORD dwY;
  DWORD dwXSize;
  DWORD dwYSize;
  DWORD dwXCountChars;
  DWORD dwYCountChars;
  DWORD dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  LPBYTE lpReserved2;
  HANDLE hStdInput;
  HANDLE hStdOutput;
  HANDLE hStdError;
};
using LPSTARTUPINFOW = STARTUPINFOW*;

struct STARTUPINFOEXW {
  STARTUPINFOW StartupInfo;
  LPPROC_THREAD_ATTRIBUTE_LIST lpAttributeList;
};

struct PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
};
using LPPROCESS_INFORMATION = PROCESS_INFORMATION*;

// ---- Processes -------------------------------------------------------------------------------
inline constexpr DWORD CREATE_SUSPENDED = 0x00000004;
inline constexpr DWORD CREATE_NEW_CONSOLE = 0x00000010;
inline constexpr DWORD CREATE_UNICODE_ENVIRONMENT = 0x00000400;
inline constexpr DWORD EXTENDED_STARTUPINFO_PRESENT = 0x00080000;
inline constexpr DWORD CREATE_NO_WINDOW = 0x08000000;

inline constexpr DWORD STILL_ACTIVE = 259;
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_ABANDONED = 0x00000080;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

// The program is found from the first word of the command line (the application name is not
// supported). Returns handles to the process and its main thread, released with CloseHandle.
BOOL CreateProcessW(LPCWSTR application_name, LPWSTR command_line,
                    LPSECURITY_ATTRIBUTES process_attributes,
                    LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit_handles,
                    DWORD creation_flags, LPVOID environment, LPCWSTR current_directory,
                    LPSTARTUPINFOW startup_info, LPPROCESS_INFORMATION process_information);
DWORD ResumeThread(HANDLE thread);  // the previous suspend count, or (DWORD)-1
BOOL GetExitCodeProcess(HANDLE process, LPDWORD exit_code);
BOOL TerminateProcess(HANDLE process, UINT exit_code);

// ---- Process identity ------------------------------------------------------------------------
inline constexpr DWORD PROCESS_TERMINATE = 0x0001;
inline constexpr DWORD PROCESS_QUERY_INFORMATION = 0x0400;
inline constexpr DWORD PROCESS_QUERY_LIMITED_INFORMATION = 0x1000;
// A pseudo handle to this process: usable wherever a process handle is, never closed.
HANDLE GetCurrentProcess();
DWORD GetCurrentProcessId();
// Any host process by its id (access is not checked). A process that does not exist gives
// ERROR_INVALID_PARAMETER, another user's ERROR_ACCESS_DENIED. Closed with CloseHandle.
HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD process_id);
// The creation time is the process's start, the same at every read; the exit time is not
// modelled (zero); kernel and user times while the process can still be seen.
BOOL GetProcessTimes(HANDLE process, LPFILETIME creation, LPFILETIME exit, LPFILETIME kernel,
                     LPFILETIME user);
// The host's clock as a FILETIME (100 ns units since 1601, UTC). Cannot fail.
void GetSystemTimeAsFileTime(LPFILETIME now);

// ---- Events and waits ------------------------------------------------------------------------
inline constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;
// Unnamed events only (a name gives ERROR_NOT_SUPPORTED). Closed with CloseHandle.
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset, BOOL initial_state,
                    LPCWSTR name);
BOOL SetEvent(HANDLE event);
// Waits for a process or thread to end or an event to be set, or takes a mutex (WAIT_ABANDONED:
// taken from an owner that died holding it). A wait takes an auto-reset event, resetting it.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
// WAIT_OBJECT_0 + the lowest index of a signalled process or event. Waiting for all (wait_all
// TRUE) gives ERROR_INVALID_PARAMETER, a mutex handle ERROR_INVALID_HANDLE: neither is modelled.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all, DWORD milliseconds);

// ---- Job objects -----------------------------------------------------------------------------
enum JOBOBJECTINFOCLASS {
  JobObjectBasicLimitInformation = 2,
  JobObjectExtendedLimitInformation = 9,
};

inline constexpr DWORD JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE = 0x00002000;

struct JOBOBJECT_BASIC_LIMIT_INFORMATION {
  LARGE_INTEGER PerProcessUserTimeLimit;
  LARGE_INTEGER PerJobUserTimeLimit;
  DWORD LimitFlags;
  SIZE_T MinimumWorkingSetSize;
  SIZE_T MaximumWorkingSetSize;
  DWORD ActiveProcessLimit;
  ULONG_PTR Affinity;
  DWORD PriorityClass;
  DWORD SchedulingClass;
};

struct IO_COUNTERS {
  ULONGLONG ReadOperationCount;
  ULONGLONG WriteOperationCount;
  ULONGLONG OtherOperationCount;
  ULONGLONG ReadTransferCount;
  ULONGLONG WriteTransferCount;
  ULONGLONG OtherTransferCount;
};

struct JOBOBJECT_EXTENDED_LIMIT_INFORMATION {
  JOBOBJECT_BASIC_LIMIT_INFORMATION BasicLimitInformation;
  IO_COUNTERS IoInfo;
  SIZE_T ProcessMemoryLimit;
  SIZE_T JobMemoryLimit;
  SIZE_T PeakProcessMemoryUsed;
  SIZE_T PeakJobMemoryUsed;
};
static_assert(sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION) == 144);
static_assert(sizeof(SECURITY_CAPABILITIES) == 24);
static_assert(sizeof(STARTUPINFOEXW) == 112);

HANDLE CreateJobObjectW(LPSECURITY_ATTRIBUTES attributes, LPCWSTR name);
BOOL SetInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS info_class, LPVOID info, DWORD length);
BOOL AssignProcessToJobObject(HANDLE job, HANDLE process);
// Ends every process of the job (and whatever its group holds); each member that had not ended
// reads `exit_code` as its exit code.
BOOL TerminateJobObject(HANDLE job, UINT exit_code);

// ---- Pipes and handle inheritance ------------------------------------------------------------
inline constexpr DWORD HANDLE_FLAG_INHERIT = 0x00000001;
BOOL CreatePipe(PHANDLE read_end, PHANDLE write_end, LPSECURITY_ATTRIBUTES attributes, DWORD size);
BOOL SetHandleInformation(HANDLE handle, DWORD mask, DWORD flags);
