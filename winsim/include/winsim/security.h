// Security services of the Win32 subset (advapi32): SIDs, ACLs, security descriptors, and the
// DACLs of files, directories and kernel objects.
#pragma once

#include "winsim/types.h"

// ---- SIDs ------------------------------------------------------------------------------------
using PSID = void*;

struct SID_IDENTIFIER_AUTHORITY {
  BYTE Value[6];
};

struct SID {
  BYTE Revision;
  BYTE SubAuthorityCount;
  SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
  DWORD SubAuthority[1];
};

inline constexpr BYTE SID_REVISION = 1;
inline constexpr BYTE SID_MAX_SUB_AUTHORITIES = 15;

struct SID_AND_ATTRIBUTES {
  PSID Sid;
  DWORD Attributes;
};
using PSID_AND_ATTRIBUTES = SID_AND_ATTRIBUTES*;

BOOL ConvertSidToStringSidW(PSID sid, LPWSTR* string_sid);   // string: LocalFree
BOOL ConvertStringSidToSidW(LPCWSTR string_sid, PSID* sid);  // SID: LocalFree
BOOL EqualSid(PSID a, PSID b);
DWORD GetLengthSid(PSID sid);
// Releases SIDs from AllocateAndInitializeSid and the AppContainer profile functions.
PVOID FreeSid(PSID sid);

// ---- Access tokens ------------------------------------------------------------------------------
inline constexpr DWORD TOKEN_QUERY = 0x0008;
enum TOKEN_INFORMATION_CLASS { TokenUser = 1 };
struct TOKEN_USER {
  SID_AND_ATTRIBUTES User;
};

// The calling process's token (process: GetCurrentProcess()), for TOKEN_QUERY; CloseHandle.
BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token);
// TokenUser only: a TOKEN_USER whose SID lies in `information` after it. Too small a buffer
// fails with ERROR_INSUFFICIENT_BUFFER and sets `needed`.
BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, void* information,
                         DWORD length, DWORD* needed);

// ---- ACLs ------------------------------------------------------------------------------------
using ACCESS_MASK = DWORD;

struct ACL {
  BYTE AclRevision;
  BYTE Sbz1;
  WORD AclSize;
  WORD AceCount;
  WORD Sbz2;
};
using PACL = ACL*;

struct ACE_HEADER {
  BYTE AceType;
  BYTE AceFlags;
  WORD AceSize;
};

inline constexpr BYTE ACL_REVISION = 2;
inline constexpr BYTE ACL_REVISION_DS = 4;
inline constexpr BYTE ACCESS_ALLOWED_ACE_TYPE = 0;
inline constexpr BYTE ACCESS_DENIED_ACE_TYPE = 1;
inline constexpr BYTE OBJECT_INHERIT_ACE = 0x1;
inline constexpr BYTE CONTAINER_INHERIT_ACE = 0x2;
inline constexpr BYTE NO_PROPAGATE_INHERIT_ACE = 0x4;
inline constexpr BYTE INHERIT_ONLY_ACE = 0x8;
inline constexpr BYTE INHERITED_ACE = 0x10;

// ---- Security descriptors --------------------------------------------------------------------
using PSECURITY_DESCRIPTOR = void*;
using SECURITY_DESCRIPTOR_CONTROL = WORD;
using PSECURITY_DESCRIPTOR_CONTROL = WORD*;

// The absolute form; self-relative descriptors hold offsets instead of pointers.
struct SECURITY_DESCRIPTOR {
  BYTE Revision;
  BYTE Sbz1;
  SECURITY_DESCRIPTOR_CONTROL Control;
  PSID Owner;
  PSID Group;
  PACL Sacl;
  PACL Dacl;
};

inline constexpr DWORD SECURITY_DESCRIPTOR_REVISION = 1;
inline constexpr DWORD SECURITY_DESCRIPTOR_MIN_LENGTH = sizeof(SECURITY_DESCRIPTOR);
inline constexpr SECURITY_DESCRIPTOR_CONTROL SE_OWNER_DEFAULTED = 0x0001;
inline constexpr SECURITY_DESCRIPTOR_CONTROL SE_DACL_PRESENT = 0x0004;
inline constexpr SECURITY_DESCRIPTOR_CONTROL SE_DACL_DEFAULTED = 0x0008;
inline constexpr SECURITY_DESCRIPTOR_CONTROL SE_DACL_AUTO_INHERIT_REQ = 0x0100;
inline constexpr SECURITY_DESCRIPTOR_CONTROL SE_SACL_AUTO_INHERIT_REQ = 0x0200;
inline constexpr SECURITY_DESCRIPTOR_CONTROL SE_DACL_AUTO_INHERITED = 0x0400;
inline constexpr SECURITY_DESCRIPTOR_CONTROL SE_SACL_AUTO_INHERITED = 0x0800;
inline constexpr SECURITY_DESCRIPTOR_CONTROL SE_DACL_PROTECTED = 0x1000;
inline constexpr SECURITY_DESCRIPTOR_CONTROL SE_SACL_PROTECTED = 0x2000;
inline constexpr SECURITY_DESCRIPTOR_CONTROL SE_SELF_RELATIVE = 0x8000;

using SECURITY_INFORMATION = DWORD;
inline constexpr SECURITY_INFORMATION OWNER_SECURITY_INFORMATION = 0x00000001;
inline constexpr SECURITY_INFORMATION GROUP_SECURITY_INFORMATION = 0x00000002;
inline constexpr SECURITY_INFORMATION DACL_SECURITY_INFORMATION = 0x00000004;
inline constexpr SECURITY_INFORMATION SACL_SECURITY_INFORMATION = 0x00000008;
inline constexpr SECURITY_INFORMATION UNPROTECTED_DACL_SECURITY_INFORMATION = 0x20000000;
inline constexpr SECURITY_INFORMATION PROTECTED_DACL_SECURITY_INFORMATION = 0x80000000;

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision);
BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present, PACL dacl,
                               BOOL defaulted);
BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL present, PACL* dacl,
                               LPBOOL defaulted);
// The owner of a descriptor in either form; null when it names none.
BOOL GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR descriptor, PSID* owner, LPBOOL defaulted);
BOOL GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor,
                                  PSECURITY_DESCRIPTOR_CONTROL control, LPDWORD revision);
// Sets the bits of `interest` to those of `set`; only the inheritance bits (auto-inherit
// requests, auto-inherited, protected) may be named, others give ERROR_INVALID_PARAMETER.
BOOL SetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor,
                                  SECURITY_DESCRIPTOR_CONTROL interest,
                                  SECURITY_DESCRIPTOR_CONTROL set);

// A self-relative descriptor, allocated with LocalAlloc, from its string form: `O:` owner, `G:`
// group (accepted, not kept) and `D:` DACL with the flags P, AI and AR, allow and deny entries.
inline constexpr DWORD SDDL_REVISION_1 = 1;
BOOL ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR text, DWORD revision,
                                                          PSECURITY_DESCRIPTOR* descriptor,
                                                          PULONG size);

// ---- Object security (aclapi) ----------------------------------------------------------------
enum SE_OBJECT_TYPE {
  SE_UNKNOWN_OBJECT_TYPE = 0,
  SE_FILE_OBJECT = 1,
  SE_SERVICE = 2,
  SE_PRINTER = 3,
  SE_REGISTRY_KEY = 4,
  SE_LMSHARE = 5,
  SE_KERNEL_OBJECT = 6,
};

// The descriptor is self-relative and allocated with LocalAlloc; the out-pointers point into it.
// Return a Win32 error; the last error is not set.
DWORD GetNamedSecurityInfoW(LPCWSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION info,
                            PSID* owner, PSID* group, PACL* dacl, PACL* sacl,
                            PSECURITY_DESCRIPTOR* descriptor);
DWORD SetNamedSecurityInfoW(LPWSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID owner,
                            PSID group, PACL dacl, PACL sacl);
DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID* owner,
                      PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor);
DWORD SetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID owner,
                      PSID group, PACL dacl, PACL sacl);

// The older pair: a self-relative descriptor into the caller's buffer (a size query first), and
// a write of exactly the given DACL to that one object.
BOOL GetFileSecurityW(LPCWSTR name, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor,
                      DWORD length, LPDWORD needed);
BOOL SetFileSecurityW(LPCWSTR name, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor);
// The same pair on an open handle (READ_CONTROL to read, WRITE_DAC to write); on a file handle
// the write reaches that one object only, as SetFileSecurityW's does.
BOOL GetKernelObjectSecurity(HANDLE handle, SECURITY_INFORMATION info,
                             PSECURITY_DESCRIPTOR descriptor, DWORD length, LPDWORD needed);
BOOL SetKernelObjectSecurity(HANDLE handle, SECURITY_INFORMATION info,
                             PSECURITY_DESCRIPTOR descriptor);
