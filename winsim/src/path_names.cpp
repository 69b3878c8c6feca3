// Path names: long forms of 8.3 short names, full paths, and the final path of an open object.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "files.h"
#include "host_paths.h"
#include "objects.h"
#include "winsim/kernel.h"

using namespace winsim::detail;

namespace {

constexpr DWORD kVolumeNameNone = 0x4;
constexpr DWORD kFileNameOpened = 0x8;

bool is_separator(char16_t c) {
  return c == u'\\' || c == u'/';
}

bool is_letter(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

char16_t upper(char16_t c) {
  return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

std::u16string upper(std::u16string_view text) {
  std::u16string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](char16_t c) { return upper(c); });
  return out;
}

// The usual buffer protocol: the length written without the NUL, or, when the buffer cannot
// hold the text and its NUL, the size needed with the NUL.
DWORD deliver(std::u16string_view text, LPWSTR buffer, DWORD size) {
  if (buffer == nullptr || size <= text.size()) return static_cast<DWORD>(text.size() + 1);
  std::memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
  buffer[text.size()] = 0;
  return static_cast<DWORD>(text.size());
}

// ---- 8.3 short names -------------------------------------------------------------------------

struct ShortName {
  std::u16string base;  // up to six characters before the '~'
  unsigned ordinal;     // N of ~N
  std::u16string extension;
};

// NAME~N or NAME~N.EXT, upper-cased.
std::optional<ShortName> parse_short_name(std::u16string_view component) {
  std::u16string text = upper(component);
  auto tilde = text.find(u'~');
  if (tilde == 0 || tilde == std::u16string::npos || tilde > 6) return std::nullopt;
  ShortName name{text.substr(0, tilde), 0, {}};
  if (name.base.find(u'.') != std::u16string::npos) return std::nullopt;
  std::size_t i = tilde + 1;
  std::size_t digits = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i, ++digits)
    name.ordinal = name.ordinal * 10 + static_cast<unsigned>(text[i] - u'0');
  if (digits == 0 || digits > 6 || name.ordinal == 0 || tilde + 1 + digits > 8) return std::nullopt;
  if (i < text.size()) {
    if (text[i] != u'.') return std::nullopt;
    name.extension = text.substr(i + 1);
    if (name.extension.empty() || name.extension.size() > 3 ||
        name.extension.find(u'.') != std::u16string::npos) {
      return std::nullopt;
    }
  }
  return name;
}

// A name the 8.3 form holds as it is needs no short name.
bool fits_eight_dot_three(std::u16string_view upper_name) {
  auto dot = upper_name.find(u'.');
  std::u16string_view base = upper_name.substr(0, dot);
  std::u16string_view extension =
      dot == std::u16string_view::npos ? std::u16string_view{} : upper_name.substr(dot + 1);
  if (base.empty() || base.size() > 8 || extension.size() > 3 ||
      extension.find(u'.') != std::u16string_view::npos) {
    return false;
  }
  return std::none_of(upper_name.begin(), upper_name.end(), [](char16_t c) {
    return c == u' ' || c == u'+' || c == u',' || c == u';' || c == u'=' || c == u'[' || c == u']';
  });
}

// The short name's stem of a long name: upper-cased, spaces and leading dots removed, the
// characters the 8.3 form forbids replaced, every dot but the last removed; six characters of
// the base and three of the extension.
std::optional<ShortName> abbreviation(std::u16string_view long_name) {
  std::u16string text = upper(long_name);
  if (fits_eight_dot_three(text)) return std::nullopt;
  std::u16string cleaned;
  for (char16_t c : text) {
    if (c == u' ') continue;
    if (c == u'.' && cleaned.empty()) continue;
    const bool forbidden =
        c == u'+' || c == u',' || c == u';' || c == u'=' || c == u'[' || c == u']';
    cleaned.push_back(forbidden ? u'_' : c);
  }
  auto dot = cleaned.rfind(u'.');
  std::u16string base = cleaned.substr(0, dot);
  std::u16string extension = dot == std::u16string::npos ? u"" : cleaned.substr(dot + 1);
  std::erase(base, u'.');
  if (base.empty()) return std::nullopt;
  return ShortName{base.substr(0, 6), 0, extension.substr(0, 3)};
}

// The long name in `directory` that `wanted` abbreviates: the N-th, in name order, of the
// entries whose abbreviation it is.
std::optional<std::u16string> expand_short_name(const std::string& directory,
                                                const ShortName& wanted) {
  DIR* listing = ::opendir(directory.c_str());
  if (listing == nullptr) return std::nullopt;
  std::vector<std::string> names;
  while (dirent* entry = ::readdir(listing)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  ::closedir(listing);
  std::sort(names.begin(), names.end());
  unsigned seen = 0;
  for (const std::string& name : names) {
    std::u16string wide = widen(name);
    auto stem = abbreviation(wide);
    if (!stem || stem->base != wanted.base || stem->extension != wanted.extension) continue;
    if (++seen == wanted.ordinal) return wide;
  }
  return std::nullopt;
}

bool name_exists(std::u16string_view windows_path) {
  auto host = host_path(windows_path);
  struct stat st {};
  return host && ::lstat(host->c_str(), &st) == 0;
}

// Splits off what comes before the first component: a \\?\ or \\.\ prefix, a drive and the
// root separator, as typed.
std::size_t prefix_length(std::u16string_view path) {
  std::size_t i = 0;
  if (path.starts_with(u"\\\\?\\") || path.starts_with(u"\\\\.\\")) i = 4;
  if (path.size() >= i + 2 && is_letter(path[i]) && path[i + 1] == u':') i += 2;
  while (i < path.size() && is_separator(path[i]))
    ++i;
  return i;
}

// ---- Full path names -------------------------------------------------------------------------

// `root` followed by the components of `rest` as the platform normalises them, with one
// `separator` between them; a trailing separator as typed (or left by a trimmed last component)
// is kept.
std::u16string normalised(std::u16string root, std::u16string_view rest, char16_t separator) {
  const NormalisedPath parts = normalise_components(rest, false);
  std::u16string out = std::move(root);
  for (std::size_t k = 0; k < parts.components.size(); ++k) {
    if (k > 0) out.push_back(separator);
    out.append(parts.components[k]);
  }
  if (!parts.components.empty() && parts.trailing_separator) out.push_back(separator);
  return out;
}

std::u16string current_directory() {
  return widen(canonical_path("."));
}

// The drive form "X:\..." of the host's current directory when it lies below a mapped drive.
std::optional<std::u16string> current_drive_directory() {
  auto form = drive_form(canonical_path("."));
  if (!form) return std::nullopt;
  return widen(*form);
}

std::u16string full_path(std::u16string_view path) {
  // A device path, verbatim or not, is tidied below its prefix: only the calls that open a
  // verbatim path take it literally, not the one that resolves it.
  if (path.starts_with(u"\\\\?\\") || path.starts_with(u"\\\\.\\"))
    return normalised(std::u16string(path.substr(0, 4)), path.substr(4), u'\\');
  if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
    return normalised(u"\\\\", path.substr(2), u'\\');  // a share: only tidied
  }
  if (path.size() >= 2 && is_letter(path[0]) && path[1] == u':') {
    std::u16string drive{upper(path[0]), u':', u'\\'};
    std::u16string_view rest = path.substr(2);
    if (!rest.empty() && is_separator(rest[0])) return normalised(drive, rest, u'\\');
    // Relative to the drive's current directory: the host's, when it lies on that drive.
    auto current = current_drive_directory();
    std::u16string base = current && upper((*current)[0]) == drive[0] ? *current : drive;
    return normalised(drive, base.substr(3) + u"\\" + std::u16string(rest), u'\\');
  }
  if (is_separator(path[0])) return normalised(u"/", path, u'/');  // a host path
  if (auto current = current_drive_directory()) {
    return normalised(current->substr(0, 3), current->substr(3) + u"\\" + std::u16string(path),
                      u'\\');
  }
  return normalised(u"/", current_directory() + u"/" + std::u16string(path), u'/');
}

}  // namespace

DWORD GetLongPathNameW(LPCWSTR short_path, LPWSTR buffer, DWORD size) {
  if (DWORD error = enter("GetLongPathNameW", narrow(short_path))) return fail(error, 0u);
  if (short_path == nullptr) return fail(ERROR_INVALID_PARAMETER, 0u);
  const std::u16string_view path = view(short_path);
  if (path.empty()) return fail(ERROR_PATH_NOT_FOUND, 0u);

  const std::size_t prefix = prefix_length(path);
  std::u16string out(path.substr(0, prefix));
  if (!out.empty() && !name_exists(out)) return fail(ERROR_PATH_NOT_FOUND, 0u);
  std::size_t i = prefix;
  while (i < path.size()) {
    std::size_t end = i;
    while (end < path.size() && !is_separator(path[end]))
      ++end;
    const std::u16string_view component = path.substr(i, end - i);
    const bool last =
        std::all_of(path.begin() + static_cast<std::ptrdiff_t>(end), path.end(), is_separator);
    const DWORD missing = last ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    if (component == u"." || component == u".." || name_exists(out + std::u16string(component))) {
      out.append(component);
    } else if (auto wanted = parse_short_name(component)) {
      auto directory = host_path(out.empty() ? u"." : out);
      auto expanded = directory ? expand_short_name(*directory, *wanted) : std::nullopt;
      if (!expanded) return fail(missing, 0u);
      out.append(*expanded);
    } else {
      return fail(missing, 0u);
    }
    // The separators after the component, as typed.
    for (i = end; i < path.size() && is_separator(path[i]); ++i)
      out.push_back(path[i]);
  }
  return deliver(out, buffer, size);
}

DWORD GetFullPathNameW(LPCWSTR path, DWORD size, LPWSTR buffer, LPWSTR* file_part) {
  if (DWORD error = enter("GetFullPathNameW", narrow(path))) return fail(error, 0u);
  if (path == nullptr) return fail(ERROR_INVALID_PARAMETER, 0u);
  if (*path == 0) return fail(ERROR_INVALID_NAME, 0u);
  const std::u16string full = full_path(view(path));
  const DWORD result = deliver(full, buffer, size);
  if (file_part != nullptr && result == full.size()) {
    auto last = std::find_if(full.rbegin(), full.rend(), is_separator);
    const auto name_start = static_cast<std::size_t>(full.rend() - last);
    *file_part = name_start < full.size() ? buffer + name_start : nullptr;
  }
  return result;
}

DWORD GetFinalPathNameByHandleW(HANDLE file, LPWSTR buffer, DWORD size, DWORD flags) {
  if (DWORD error = enter("GetFinalPathNameByHandleW", handle_key(file))) return fail(error, 0u);
  if ((flags & ~(kVolumeNameNone | kFileNameOpened)) != 0)
    return fail(ERROR_INVALID_PARAMETER, 0u);  // only DOS names and no volume are modelled
  auto object = find_handle_as<FileObject>(file);
  if (!object) return fail(ERROR_INVALID_HANDLE, 0u);
  if (object->nul_device) return fail(ERROR_INVALID_FUNCTION, 0u);  // a device, not a file
  // The descriptor's link names the object with every link on the way resolved (a link opened
  // itself is named as it lies).
  auto real = current_path(*object);
  if (!real) return fail(win32_error_from_errno(errno), 0u);
  std::u16string name;
  if (auto drive = drive_form(*real)) {
    name = (flags & kVolumeNameNone) ? widen(drive->substr(2)) : u"\\\\?\\" + widen(*drive);
  } else {
    name = widen(*real);
  }
  return deliver(name, buffer, size);
}
