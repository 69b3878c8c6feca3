// Each icacls run forks this process, at a cost that grows with AddressSanitizer's quarantine
// (256 MiB by default): a smaller one keeps the sweeps fast. ASAN_OPTIONS still overrides it.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options() {
  return "quarantine_size_mb=16";
}
#endif
