// The flow tests' sweeps fork a host process per icacls run, at a cost that grows with this
// process's memory, most of it AddressSanitizer's quarantine (256 MiB by default). A smaller one
// still catches the use of anything freed recently; ASAN_OPTIONS still overrides it.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options() {
  return "quarantine_size_mb=16";
}
#endif
