// The settings of jemalloc, the allocator of the programs that serve connections (see
// pellix_use_allocator in cmake/PellixHelpers.cmake). jemalloc reads them from this symbol
// when the program starts; MALLOC_CONF in the environment still overrides them.
//
// pellix is a background program that should stay small when idle: one arena instead of
// four per processor (the per-thread caches take the load off its lock), per-thread caches
// only for objects up to 1 KiB (what a request makes and frees), and pages freed by a burst
// of requests go back to the system at once instead of being kept for the next one.
extern "C" {
// NOLINTNEXTLINE: the name and type are jemalloc's.
const char* malloc_conf = PELLIX_JEMALLOC_CONF;
}
