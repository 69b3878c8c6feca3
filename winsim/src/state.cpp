// The machine's persistent state: the WINSIM_STATE file, shared by consecutive processes.
//
// Format: a first line "winsim-state 1", then one record per line, fields separated by one tab,
// the record's name first. Records are written grouped by name in a fixed order.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "internal.h"
#include "winsim/testing.h"

namespace winsim::detail {
namespace {

constexpr std::string_view kHeader = "winsim-state 1";
const std::vector<std::string> kRecordOrder = {"profile", "loopback", "object", "fault"};

struct State {
  bool loaded = false;
  std::vector<StateSection> sections;
  std::map<std::string, std::vector<Record>> unclaimed;  // records of areas not in use yet
};

State& state() {
  static State instance;
  return instance;
}

std::string state_path() {
  const char* path = std::getenv("WINSIM_STATE");
  return path == nullptr ? std::string{} : std::string{path};
}

std::vector<std::string> split_tabs(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  while (true) {
    auto tab = line.find('\t', start);
    fields.push_back(
        line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  return fields;
}

std::map<std::string, std::vector<Record>> read_records(const std::string& path) {
  std::map<std::string, std::vector<Record>> records;
  std::ifstream in(path);
  if (!in) return records;  // no file yet: a fresh machine
  std::string line;
  if (!std::getline(in, line) || line != kHeader) {
    std::fprintf(stderr, "winsim: %s is not a winsim state file; starting a fresh machine\n",
                 path.c_str());
    return records;
  }
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    auto fields = split_tabs(line);
    std::string name = fields.front();
    fields.erase(fields.begin());
    records[name].push_back(std::move(fields));
  }
  return records;
}

void write_records(const std::string& path) {
  State& s = state();
  std::map<std::string, std::vector<Record>> all = s.unclaimed;
  for (const StateSection& section : s.sections) {
    if (!section.record.empty()) all[section.record] = section.save();
  }
  all["fault"] = persistent_faults();

  std::vector<std::string> order = kRecordOrder;
  for (const auto& [name, records] : all) {
    if (std::find(order.begin(), order.end(), name) == order.end()) order.push_back(name);
  }
  std::ostringstream out;
  out << kHeader << '\n';
  for (const std::string& name : order) {
    for (const Record& record : all[name]) {
      out << name;
      for (const std::string& field : record)
        out << '\t' << field;
      out << '\n';
    }
  }
  // Write beside the file and rename, so a reader never sees half a state.
  std::string temp = path + ".tmp." + std::to_string(::getpid());
  {
    std::ofstream file(temp, std::ios::trunc);
    file << out.str();
  }
  std::rename(temp.c_str(), path.c_str());
}

}  // namespace

void load_state_once() {
  State& s = state();
  if (s.loaded) return;
  s.loaded = true;
  std::string path = state_path();
  if (path.empty()) return;
  auto records = read_records(path);
  clear_persistent_faults();
  for (const Record& fault : records["fault"]) {
    if (fault.size() != 3) continue;
    add_persistent_fault(fault[0], fault[1],
                         static_cast<DWORD>(std::strtoul(fault[2].c_str(), nullptr, 10)));
  }
  records.erase("fault");
  for (const StateSection& section : s.sections) {
    if (section.record.empty()) continue;
    section.load(records[section.record]);
    records.erase(section.record);
  }
  s.unclaimed = std::move(records);
}

void register_section(StateSection section) {
  load_state_once();
  State& s = state();
  if (!section.record.empty()) {
    auto it = s.unclaimed.find(section.record);
    section.load(it == s.unclaimed.end() ? std::vector<Record>{} : it->second);
    if (it != s.unclaimed.end()) s.unclaimed.erase(it);
  }
  s.sections.push_back(std::move(section));
}

void state_changed() {
  std::string path = state_path();
  if (!path.empty()) write_records(path);
}

void reset_state() {
  State& s = state();
  for (const StateSection& section : s.sections)
    section.clear();
  s.unclaimed.clear();
  s.loaded = false;
}

}  // namespace winsim::detail

namespace winsim {

void reset() {
  detail::reset_handles();
  reset_machine();
  detail::reset_accounting();
}

void reset_machine() {
  detail::reset_state();
  detail::reset_gate();
}

}  // namespace winsim
