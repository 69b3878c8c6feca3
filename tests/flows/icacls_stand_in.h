// An icacls for the simulated machine that records its runs and fails on chosen targets.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "flows/drives.h"
#include "sid/pool_entry.h"
#include "support/env.h"
#include "support/sids.h"
#include "support/temp_dir.h"

namespace tavo::testing {

// Records what it reads and a line of its arguments, each followed by a tab, and, in a file of its
// own, where a real icacls would land: the target (C:\...) below $WINSIM_ROOT with every link on
// the way followed, the last component's too unless /L is given. A run on one of the '|'-separated
// $ICACLS_FAIL_ON writes $ICACLS_FAIL_TEXT and $ICACLS_FLOOD bytes to standard error and exits
// with 5.
inline constexpr std::string_view kIcaclsStandIn = R"sh(#!/bin/sh
PATH=/usr/bin:/bin
{ cat; printf '%s\t' "$@"; echo; } >> "$ICACLS_RUNS"
drive=$(printf '%s' "$1" | cut -c1 | tr 'A-Z' 'a-z')
host="$WINSIM_ROOT/$drive$(printf '%s' "$1" | cut -c3- | tr '\\' /)"
case " $* " in
  *" /L "*) lands="$(realpath -m "$(dirname "$host")")/$(basename "$host")" ;;
  *) lands=$(realpath -m "$host") ;;
esac
root=$(realpath -m "$WINSIM_ROOT")
rest=${lands#"$root/"}
letter=$(printf '%s' "$rest" | cut -c1 | tr 'a-z' 'A-Z')
printf '%s:%s\n' "$letter" "$(printf '%s' "$rest" | cut -c2- | tr / '\\')" >> "$ICACLS_RUNS.lands"
echo "to standard output"
case "|${ICACLS_FAIL_ON:-}|" in
  *"|$1|"*) printf '%s' "$ICACLS_FAIL_TEXT" >&2
    head -c "${ICACLS_FLOOD:-0}" /dev/zero | tr '\0' x >&2; exit 5 ;;
esac
)sh";

class IcaclsStandIn {
 public:
  void install(const std::string& dir) const {
    std::filesystem::create_directories(dir);
    const std::string file = dir + "/icacls";
    std::ofstream(file, std::ios::binary | std::ios::trunc) << kIcaclsStandIn;
    ASSERT_EQ(::chmod(file.c_str(), 0755), 0) << file;
  }

  // From now on, a run on `target` (and on the targets named before) fails with `error_text`.
  void fail_on(const std::string& target, const std::string& error_text) {
    fail_targets_ += (fail_targets_.empty() ? "" : "|") + target;
    set_env("ICACLS_FAIL_ON", fail_targets_);
    set_env("ICACLS_FAIL_TEXT", error_text);
  }

  std::vector<std::vector<std::string>> runs() const {
    std::vector<std::vector<std::string>> all;
    std::istringstream lines(records_.read("runs"));
    for (std::string line; std::getline(lines, line);) {
      std::istringstream words(line);
      all.emplace_back();
      for (std::string word; std::getline(words, word, '\t');)
        all.back().push_back(word);
    }
    return all;
  }

  std::vector<std::string> targets() const {
    std::vector<std::string> firsts;
    for (const auto& run : runs())
      firsts.push_back(run.empty() ? "" : run.front());
    return firsts;
  }

  // Where a real icacls would have made its changes, run by run.
  std::vector<std::string> lands() const {
    std::vector<std::string> all;
    std::istringstream lines(records_.exists("runs.lands") ? records_.read("runs.lands") : "");
    for (std::string line; std::getline(lines, line);)
      all.push_back(line);
    return all;
  }

  void forget_runs() const {
    std::filesystem::remove(records_ / "runs");
    std::filesystem::remove(records_ / "runs.lands");
  }

 private:
  TempDir records_;
  std::string fail_targets_;
  ScopedEnv runs_{"ICACLS_RUNS", records_ / "runs"};
  ScopedEnv fail_on_{"ICACLS_FAIL_ON", std::nullopt};
  ScopedEnv fail_text_{"ICACLS_FAIL_TEXT", std::nullopt};
  ScopedEnv flood_{"ICACLS_FLOOD", std::nullopt};
};

// The arguments icacls should receive: the target, "/grant" before each grant, the flags.
inline std::vector<std::string> icacls_args(std::string_view target,
                                            const std::vector<std::string>& grants,
                                            const std::vector<std::string>& flags) {
  std::vector<std::string> args{std::string(target)};
  for (const std::string& grant : grants) {
    args.push_back("/grant");
    args.push_back(grant);
  }
  args.insert(args.end(), flags.begin(), flags.end());
  return args;
}

// A pool of the given SIDs, as the batch grants take it.
inline std::vector<PoolEntry> pool_of(std::initializer_list<std::string_view> sids) {
  std::vector<PoolEntry> entries;
  for (std::string_view sid : sids)
    entries.push_back(PoolEntry{make_sid(sid), std::string(sid)});
  return entries;
}

}  // namespace tavo::testing
