// ReturnFreedMemory: hands memory that the process has freed back to the
// system. After a burst (thousands of notices queued during a wave of
// logins, then sent and freed) the allocator keeps the freed pages for
// reuse, scattered between live blocks where it cannot shrink its heap, and
// the resident size stays at the burst's peak. The listener calls this when
// it is idle, a few seconds apart at most.
//
// Thread-safety: any thread; the allocator locks what it walks.
#pragma once

// True when some memory was given back.
bool ReturnFreedMemory();
