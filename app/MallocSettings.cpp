// The memory allocator's settings, read by jemalloc when the process starts.
// Linked into the server executable only, and only where jemalloc replaces
// the system allocator (not in the sanitizer builds, whose allocators are
// their own).
//
// Why jemalloc: a login burst queues hundreds of thousands of notices at
// once, and the system allocator kept that memory long after they were
// sent, pinned by the few long-lived objects made in between. jemalloc keeps
// objects of each size apart, and its background thread gives pages that
// stayed unused for a second back to the system, so an idle server's
// resident memory follows what it actually holds.
extern "C" {
const char* malloc_conf = "background_thread:true,dirty_decay_ms:1000,muzzy_decay_ms:0";
}
