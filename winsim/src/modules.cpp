// Modules: the system DLLs the program looks up at run time, with the functions winsim exports
// from them.
#include <algorithm>
#include <cctype>
#include <map>

#include "internal.h"
#include "winsim/kernel.h"

using namespace winsim::detail;

namespace {

struct Module {
  std::string name;  // lower case
  std::map<std::string, FARPROC, std::less<>> exports;
};

std::vector<Module>& modules() {
  static std::vector<Module> list = [] {
    std::vector<Module> m;
    m.push_back({"ntdll.dll", {}});
    m.push_back({"kernel32.dll", {}});
    m.push_back({"advapi32.dll", {}});
    m.push_back({"userenv.dll", winsim::detail::userenv_exports()});
    m.push_back({"firewallapi.dll", winsim::detail::firewallapi_exports()});
    return m;
  }();
  return list;
}

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

HMODULE handle_of(const Module& m) {
  return const_cast<Module*>(&m);  // the handle is the module's record
}

Module* find_module(std::u16string_view name) {
  std::string wanted = lower(narrow(name));
  if (wanted.find('.') == std::string::npos) wanted += ".dll";
  for (Module& m : modules()) {
    if (m.name == wanted) return &m;
  }
  return nullptr;
}

HMODULE load(LPCWSTR name, std::string_view function) {
  if (DWORD error = enter(function, narrow(name))) return fail<HMODULE>(error, nullptr);
  Module* m = find_module(view(name));
  if (m == nullptr) return fail<HMODULE>(ERROR_MOD_NOT_FOUND, nullptr);
  return handle_of(*m);
}

}  // namespace

namespace winsim::detail {
HMODULE ntdll_module() {
  return handle_of(modules().front());
}
}  // namespace winsim::detail

HMODULE GetModuleHandleW(LPCWSTR name) {
  return load(name, "GetModuleHandleW");
}
HMODULE LoadLibraryExW(LPCWSTR name, HANDLE, DWORD) {
  return load(name, "LoadLibraryExW");
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
  if (DWORD error = enter("GetProcAddress", name == nullptr ? "" : name)) {
    return fail<FARPROC>(error, nullptr);
  }
  for (Module& m : modules()) {
    if (handle_of(m) != module) continue;
    auto it = m.exports.find(std::string_view(name == nullptr ? "" : name));
    if (it == m.exports.end()) return fail<FARPROC>(ERROR_PROC_NOT_FOUND, nullptr);
    return it->second;
  }
  return fail<FARPROC>(ERROR_INVALID_HANDLE, nullptr);
}
