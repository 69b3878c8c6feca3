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
// with 5. With the machine kept in $WINSIM_STATE, a run that succeeds also changes the machine's
// records where it lands, under the machine's lock, as icacls would: "/grant *SID:(OI)(CI)(RX)"
// adds an explicit allow entry of the SID, "/remove:g *SID" takes the SID's explicit allow entries
// away; with /T on everything below the target too (links below it are not followed).
inline constexpr std::string_view kIcaclsStandIn = R"sh(#!/bin/sh
PATH=/usr/bin:/bin
{ cat; printf '%s\t' "$@"; echo; } >> "$ICACLS_RUNS"
case "$1" in
  /*) host=$1 ;;
  *) drive=$(printf '%s' "$1" | cut -c1 | tr 'A-Z' 'a-z')
    host="$WINSIM_ROOT/$drive$(printf '%s' "$1" | cut -c3- | tr '\\' /)" ;;
esac
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
[ -n "${WINSIM_STATE:-}" ] || exit 0
tree=0; ops=""; shift
while [ $# -gt 0 ]; do
  case "$1" in
    /T) tree=1 ;;
    /remove:g) ops="$ops${ops:+;}remove ${2#\*}"; shift ;;
    /grant) sid=${2%%:*}; how=${2#*:}; flags=""; mask=""
      case "$how" in *"(OI)"*) flags=OI ;; esac
      case "$how" in *"(CI)"*) flags="${flags}CI" ;; esac
      case "$how" in *"(F)"*) mask=0x1f01ff ;; *"(M)"*) mask=0x1301bf ;; *"(RX)"*) mask=0x1200a9 ;;
        *"(R)"*) mask=0x120089 ;; esac
      ops="$ops${ops:+;}grant ${sid#\*} $flags $mask"; shift ;;
  esac
  shift
done
if [ "$tree" = 1 ]; then find "$lands"; else printf '%s\n' "$lands"; fi > "$ICACLS_RUNS.objects"
(
  flock 9
  awk -F '\t' -v OFS='\t' -v ops="$ops" -v list="$ICACLS_RUNS.objects" '
    function apply(sddl,   i, f, ace) {
      for (i = 1; i <= n; i++) {
        split(op[i], f, " ")
        if (f[1] == "remove") gsub("\\(A;[^;)]*;[^;)]*;;;" f[2] "\\)", "", sddl)
        else if (index(sddl, ace = "(A;" f[3] ";" f[4] ";;;" f[2] ")") == 0) sddl = sddl ace
      }
      return sddl
    }
    BEGIN { n = split(ops, op, ";"); while ((getline path < list) > 0) todo[path] = 1 }
    $1 == "object" && ($2 in todo) { $3 = apply($3); delete todo[$2] }
    { print }
    END { for (path in todo) if (apply("D:") != "D:") print "object", path, apply("D:") }
  ' "$WINSIM_STATE" > "$WINSIM_STATE.icacls.$$" && mv "$WINSIM_STATE.icacls.$$" "$WINSIM_STATE"
) 9>> "$WINSIM_STATE.lock"
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
