// ReleaseThreadAllocatorCache: hands the calling thread's share of the
// memory allocator's per-thread cache back to the allocator.
//
// Why: the server executable runs on jemalloc (app/MallocSettings.cpp),
// which keeps a cache of freed blocks per thread. A login burst leaves each
// of a virtual server's threads with a cache full of blocks it freed then,
// and a thread that only answers pings afterwards frees too little for the
// cache to shrink on its own: with ten servers that is several megabytes
// held by idle threads, and it keeps the slabs those blocks lie in from going
// back to the system. TPacket::TrimThreadStoreEverySecond, which the
// reader, listener and sender loops call, calls this once a second, and the
// sender before it sleeps for long; a busy thread refills its cache at the
// cost of a few allocations.
//
// Without jemalloc (the test binaries, the sanitizer builds) it does nothing.
#pragma once

void ReleaseThreadAllocatorCache();
