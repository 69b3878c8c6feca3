// Runs a command many times and prints the median wall time in microseconds, the largest
// resident set any run reached, in KiB, and the median processor time (user and system, of the
// run and the children it waited for) in microseconds: "<median_us> <max_rss_kib> <cpu_us>".
// The processor time says what a run costs when other work on the machine stretches the wall
// time with waits for a core.
// Usage: bench_timer RUNS COMMAND [ARGS...]
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

extern char** environ;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_timer RUNS COMMAND [ARGS...]\n");
    return 2;
  }
  const int runs = std::atoi(argv[1]);
  std::vector<long long> times;
  std::vector<long long> cpu_times;
  long max_rss = 0;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    pid_t pid;
    if (posix_spawnp(&pid, argv[2], nullptr, nullptr, argv + 2, environ) != 0) {
      std::perror("posix_spawnp");
      return 1;
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const auto end = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "run %d failed with status %d\n", i, status);
      return 1;
    }
    times.push_back(std::chrono::duration_cast<std::chrono::microseconds>(end - start).count());
    max_rss = std::max(max_rss, usage.ru_maxrss);
    auto micros = [](const timeval& t) {
      return static_cast<long long>(t.tv_sec) * 1000000LL + t.tv_usec;
    };
    cpu_times.push_back(micros(usage.ru_utime) + micros(usage.ru_stime));
  }
  std::sort(times.begin(), times.end());
  std::sort(cpu_times.begin(), cpu_times.end());
  std::printf("%lld %ld %lld\n", times[times.size() / 2], max_rss, cpu_times[cpu_times.size() / 2]);
  return 0;
}
