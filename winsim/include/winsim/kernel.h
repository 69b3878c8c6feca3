// Kernel services of the Win32 subset: last error, local and heap memory, environment,
// standard handles and console, modules, message texts, files and directories, mutexes.
#pragma once

#include "winsim/types.h"

// ---- Last error ------------------------------------------------------------------------------
DWORD GetLastError();
void SetLastError(DWORD error);

// ---- Memory ----------------------------------------------------------------------------------
inline constexpr UINT LMEM_FIXED = 0x0000;
inline constexpr UINT LMEM_ZEROINIT = 0x0040;
inline constexpr UINT LPTR = LMEM_FIXED | LMEM_ZEROINIT;
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL LocalFree(HLOCAL memory);

inline constexpr DWORD HEAP_ZERO_MEMORY = 0x00000008;
HANDLE GetProcessHeap();
LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID memory);

// ---- Environment -----------------------------------------------------------------------------
DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size);
// C:\Windows\System32: the length written (without the NUL), or the size needed (with it).
UINT GetSystemDirectoryW(LPWSTR buffer, UINT size);
BOOL SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value);

// ---- Handles, standard handles and the console -----------------------------------------------
inline constexpr DWORD STD_INPUT_HANDLE = static_cast<DWORD>(-10);
inline constexpr DWORD STD_OUTPUT_HANDLE = static_cast<DWORD>(-11);
inline constexpr DWORD STD_ERROR_HANDLE = static_cast<DWORD>(-12);
HANDLE GetStdHandle(DWORD which);
BOOL SetStdHandle(DWORD which, HANDLE handle);
BOOL CloseHandle(HANDLE handle);
inline constexpr DWORD DUPLICATE_CLOSE_SOURCE = 0x00000001;
inline constexpr DWORD DUPLICATE_SAME_ACCESS = 0x00000002;
BOOL DuplicateHandle(HANDLE source_process, HANDLE source, HANDLE target_process, LPHANDLE target,
                     DWORD access, BOOL inherit, DWORD options);
BOOL GetConsoleMode(HANDLE console, LPDWORD mode);
BOOL WriteConsoleW(HANDLE console, const void* buffer, DWORD chars, LPDWORD written,
                   LPVOID reserved);

// ---- Console control events ------------------------------------------------------------------
// Host signals stand for the events: SIGINT Ctrl-C, SIGQUIT Ctrl-Break, SIGHUP the console's
// close. Each event runs the handlers on a new thread, last registered first, until one returns
// TRUE; a null handler with add TRUE ignores Ctrl-C (FALSE restores it).
inline constexpr DWORD CTRL_C_EVENT = 0;
inline constexpr DWORD CTRL_BREAK_EVENT = 1;
inline constexpr DWORD CTRL_CLOSE_EVENT = 2;
inline constexpr DWORD CTRL_LOGOFF_EVENT = 5;
inline constexpr DWORD CTRL_SHUTDOWN_EVENT = 6;
using PHANDLER_ROUTINE = BOOL (*)(DWORD);
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);

// ---- Modules ---------------------------------------------------------------------------------
HMODULE GetModuleHandleW(LPCWSTR name);
inline constexpr DWORD LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x00000800;
HMODULE LoadLibraryExW(LPCWSTR name, HANDLE reserved, DWORD flags);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);

// ---- Message texts ---------------------------------------------------------------------------
inline constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100;
inline constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
inline constexpr DWORD FORMAT_MESSAGE_FROM_STRING = 0x00000400;
inline constexpr DWORD FORMAT_MESSAGE_FROM_HMODULE = 0x00000800;
inline constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
inline constexpr DWORD FORMAT_MESSAGE_ARGUMENT_ARRAY = 0x00002000;
inline constexpr DWORD FORMAT_MESSAGE_MAX_WIDTH_MASK = 0x000000FF;
DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD message_id, DWORD language_id,
                     LPWSTR buffer, DWORD size, void* arguments);

// ---- Files and directories -------------------------------------------------------------------
inline constexpr DWORD FILE_READ_DATA = 0x0001;
// The same bit on a directory: listing it.
inline constexpr DWORD FILE_LIST_DIRECTORY = 0x0001;
inline constexpr DWORD FILE_WRITE_DATA = 0x0002;
// Without FILE_WRITE_DATA every write goes to the end of the file.
inline constexpr DWORD FILE_APPEND_DATA = 0x0004;
// The same bits on a directory: making a file, making a subdirectory; and removing an entry.
inline constexpr DWORD FILE_ADD_FILE = 0x0002;
inline constexpr DWORD FILE_ADD_SUBDIRECTORY = 0x0004;
inline constexpr DWORD FILE_DELETE_CHILD = 0x0040;
inline constexpr DWORD FILE_READ_ATTRIBUTES = 0x0080;
inline constexpr DWORD GENERIC_READ = 0x80000000;
inline constexpr DWORD GENERIC_WRITE = 0x40000000;
inline constexpr DWORD GENERIC_EXECUTE = 0x20000000;
inline constexpr DWORD GENERIC_ALL = 0x10000000;
inline constexpr DWORD DELETE = 0x00010000;
inline constexpr DWORD READ_CONTROL = 0x00020000;
inline constexpr DWORD WRITE_DAC = 0x00040000;
inline constexpr DWORD WRITE_OWNER = 0x00080000;
inline constexpr DWORD SYNCHRONIZE = 0x00100000;
inline constexpr DWORD FILE_READ_EA = 0x0008;
inline constexpr DWORD FILE_WRITE_EA = 0x0010;
inline constexpr DWORD FILE_EXECUTE = 0x0020;
inline constexpr DWORD FILE_WRITE_ATTRIBUTES = 0x0100;
inline constexpr DWORD STANDARD_RIGHTS_REQUIRED = 0x000F0000;
inline constexpr DWORD STANDARD_RIGHTS_READ = READ_CONTROL;
inline constexpr DWORD STANDARD_RIGHTS_WRITE = READ_CONTROL;
inline constexpr DWORD STANDARD_RIGHTS_EXECUTE = READ_CONTROL;
// The compositions the generic rights map to for files, as the SDK defines them.
inline constexpr DWORD FILE_GENERIC_READ =
    STANDARD_RIGHTS_READ | FILE_READ_DATA | FILE_READ_ATTRIBUTES | FILE_READ_EA | SYNCHRONIZE;
inline constexpr DWORD FILE_GENERIC_WRITE = STANDARD_RIGHTS_WRITE | FILE_WRITE_DATA |
                                            FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA |
                                            FILE_APPEND_DATA | SYNCHRONIZE;
inline constexpr DWORD FILE_GENERIC_EXECUTE =
    STANDARD_RIGHTS_EXECUTE | FILE_READ_ATTRIBUTES | FILE_EXECUTE | SYNCHRONIZE;
inline constexpr DWORD FILE_ALL_ACCESS = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x1FF;

inline constexpr DWORD FILE_SHARE_READ = 0x1;
inline constexpr DWORD FILE_SHARE_WRITE = 0x2;
inline constexpr DWORD FILE_SHARE_DELETE = 0x4;

inline constexpr DWORD CREATE_NEW = 1;
inline constexpr DWORD CREATE_ALWAYS = 2;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD OPEN_ALWAYS = 4;
inline constexpr DWORD TRUNCATE_EXISTING = 5;

inline constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x00000001;
inline constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x00000002;
inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x00000010;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;
inline constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x00000400;
inline constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
inline constexpr DWORD FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;
// Opens a link in the last component itself rather than what it names.
inline constexpr DWORD FILE_FLAG_OPEN_REPARSE_POINT = 0x00200000;

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE template_file);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD read, void* overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD to_write, LPDWORD written, void* overlapped);
BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security);
BOOL RemoveDirectoryW(LPCWSTR path);
BOOL DeleteFileW(LPCWSTR path);
DWORD GetFileAttributesW(LPCWSTR path);
struct BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD dwVolumeSerialNumber;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;
  DWORD nFileIndexHigh;
  DWORD nFileIndexLow;
};
using LPBY_HANDLE_FILE_INFORMATION = BY_HANDLE_FILE_INFORMATION*;
// The attributes, size and link count of the object a file handle stays on; the times, volume
// and index are not modelled (0). Needs FILE_READ_ATTRIBUTES on the handle.
BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information);
enum FILE_INFO_BY_HANDLE_CLASS {
  FileBasicInfo = 0,
  FileStandardInfo = 1,
  FileNameInfo = 2,
  FileRenameInfo = 3,
  FileDispositionInfo = 4,
  FileIdInfo = 18,
};
struct FILE_ID_128 {
  BYTE Identifier[16];
};
struct FILE_ID_INFO {
  ULONGLONG VolumeSerialNumber;
  FILE_ID_128 FileId;
};
// Only FileIdInfo is modelled: the host's device number as the volume's serial number; as the
// file ID its inode number (little-endian, in the ID's low 8 bytes) and its birth time in
// nanoseconds (the high 8, 0 where the host keeps none). Needs no access right.
BOOL GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS information_class,
                                  LPVOID information, DWORD size);
enum FILE_ID_TYPE { FileIdType = 0, ObjectIdType = 1, ExtendedFileIdType = 2 };
struct FILE_ID_DESCRIPTOR {
  DWORD dwSize;
  FILE_ID_TYPE Type;
  union {
    LARGE_INTEGER FileId;
    FILE_ID_128 ExtendedFileId;
  };
};
using LPFILE_ID_DESCRIPTOR = FILE_ID_DESCRIPTOR*;
// Opens the object whose ID (FileIdType or ExtendedFileIdType) is given, on the volume the hint
// handle lies on, as CreateFileW opens an existing object with the same access and flags.
HANDLE OpenFileById(HANDLE volume_hint, LPFILE_ID_DESCRIPTOR file_id, DWORD access, DWORD share,
                    LPSECURITY_ATTRIBUTES security, DWORD flags);
struct FILE_DISPOSITION_INFO {
  BOOLEAN DeleteFile;
};
using PFILE_DISPOSITION_INFO = FILE_DISPOSITION_INFO*;
// FileNameLength is in bytes; FileName is a full path, or, with RootDirectory, a name relative to
// the folder that handle holds.
struct FILE_RENAME_INFO {
  union {
    BOOLEAN ReplaceIfExists;
    DWORD Flags;
  };
  HANDLE RootDirectory;
  DWORD FileNameLength;
  WCHAR FileName[1];
};
// FileDispositionInfo: the object the handle stands on is removed at the call. FileRenameInfo:
// the object is given the new name, an existing file (or link) at that name replaced when
// ReplaceIfExists is set.
BOOL SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS information_class,
                                LPVOID information, DWORD size);
// Writes the file's data and metadata through to the disk (fsync).
BOOL FlushFileBuffers(HANDLE file);
inline constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;
inline constexpr DWORD MOVEFILE_WRITE_THROUGH = 0x8;
// Renames a file or directory in one step; an existing target fails with ERROR_ALREADY_EXISTS
// unless MOVEFILE_REPLACE_EXISTING replaces it. Only these two flags are modelled.
BOOL MoveFileExW(LPCWSTR existing, LPCWSTR replacement, DWORD flags);

inline constexpr DWORD FILE_TYPE_UNKNOWN = 0x0000;
inline constexpr DWORD FILE_TYPE_DISK = 0x0001;
inline constexpr DWORD FILE_TYPE_CHAR = 0x0002;
inline constexpr DWORD FILE_TYPE_PIPE = 0x0003;
// FILE_TYPE_UNKNOWN with the last error NO_ERROR is a type the call could not name; with another
// last error the call failed.
DWORD GetFileType(HANDLE file);
BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size);

struct WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  WCHAR cFileName[MAX_PATH];
  WCHAR cAlternateFileName[14];
};
using LPWIN32_FIND_DATAW = WIN32_FIND_DATAW*;
HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data);
BOOL FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data);
BOOL FindClose(HANDLE find);

// ---- Mutexes ---------------------------------------------------------------------------------
// Waiting for a mutex is WaitForSingleObject (process.h); handles are closed with CloseHandle.
inline constexpr DWORD MUTEX_MODIFY_STATE = 0x0001;
inline constexpr DWORD MUTEX_ALL_ACCESS = 0x1F0001;
// Creates the named mutex, or opens it (last error ERROR_ALREADY_EXISTS) when it exists.
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initial_owner, LPCWSTR name);
inline constexpr DWORD CREATE_MUTEX_INITIAL_OWNER = 0x1;
HANDLE CreateMutexExW(LPSECURITY_ATTRIBUTES attributes, LPCWSTR name, DWORD flags, DWORD access);
HANDLE OpenMutexW(DWORD access, BOOL inherit, LPCWSTR name);
BOOL ReleaseMutex(HANDLE mutex);

// ---- Path names ------------------------------------------------------------------------------
// Each returns the length written (without the NUL), or, when the buffer is too small, the size
// needed (with the NUL); 0 on failure.
DWORD GetLongPathNameW(LPCWSTR short_path, LPWSTR buffer, DWORD size);
DWORD GetFullPathNameW(LPCWSTR path, DWORD size, LPWSTR buffer, LPWSTR* file_part);
inline constexpr DWORD FILE_NAME_NORMALIZED = 0x0;
inline constexpr DWORD VOLUME_NAME_DOS = 0x0;
DWORD GetFinalPathNameByHandleW(HANDLE file, LPWSTR buffer, DWORD size, DWORD flags);
