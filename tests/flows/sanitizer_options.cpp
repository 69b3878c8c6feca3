// AddressSanitizer's defaults for the flow tests. Their fault sweeps start a host process for
// every icacls run, and each fork costs in proportion to the memory this process holds; the
// sanitizer's quarantine of freed blocks (256 MiB by default) is most of it once it has filled.
// A smaller quarantine still catches the use of anything freed recently, and keeps the sweeps
// several times faster. ASAN_OPTIONS in the environment still overrides this.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options() {
  return "quarantine_size_mb=16";
}
#endif
