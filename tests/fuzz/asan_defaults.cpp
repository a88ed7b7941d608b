// AddressSanitizer defaults of the fuzzers; ASAN_OPTIONS overrides them.
// The quarantine is smaller than the default 256 MB: every input builds and
// frees its objects, and cycling through that much fresh memory costs a
// third of a fuzzer's speed in page faults. Freed memory is still held back
// long enough to catch a use after free within one input.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16"; }
