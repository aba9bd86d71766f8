// The settings of jemalloc, the allocator of the programs that serve connections (see
// pellix_use_allocator in cmake/PellixHelpers.cmake). jemalloc reads them from this symbol
// when the program starts; MALLOC_CONF in the environment still overrides them.
//
// pellix is a background program that should stay small when idle: one arena instead of
// four per processor (the per-thread caches take the load off its lock), per-thread caches
// only for objects up to 1 KiB (what a request makes and frees), and pages freed by a burst
// of requests go back to the system about a second after they were last used, by jemalloc's
// own background thread. Handing every freed page back at once cost each new TLS connection
// (whose buffers are larger than the caches take) a dozen madvise calls and the flushes of
// the other processors' address translations that come with them; pages kept for a second
// are used again by the next connection. Freed pages skip the "muzzy" state (MADV_FREE),
// whose pages would still count as resident until the system runs short of memory.
extern "C" {
// NOLINTNEXTLINE: the name and type are jemalloc's.
const char* malloc_conf = PELLIX_JEMALLOC_CONF;
}
