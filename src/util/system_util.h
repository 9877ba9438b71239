// System helpers: error texts, ticks, thread names, processor facts and the
// byte mask of the wire formats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zv {

// The system's message for an error number (strerror text) followed by a
// line break; empty when there is none.
std::string FormatSystemError(uint32_t code);

// Monotonic milliseconds, wrapping at 2^32 (the "tick count").
uint32_t GetTickCount32();

// Milliseconds since this thread's previous call (the first call on a thread
// returns the raw tick count).
uint32_t GetElapsedTicks();

// The calling thread's kernel thread id.
uint32_t GetCurrentThreadId32();

// Names the calling thread (visible in ps, top and debuggers; the kernel
// keeps 15 characters). Returns 0, or 87 for a null format.
int SetThreadDebugName(uint32_t thread_id, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// True when a tracer (debugger) is attached to this process.
bool IsDebuggerAttached();

// The processor brand string, blanks collapsed, trimmed; may be empty.
std::string GetProcessorName();

// What GetProcessorName does to the raw brand text: stops at a NUL, turns
// every run of blanks into one blank, trims white space at both ends.
std::string TidyBrandString(std::string_view raw);

// Total physical memory in MiB.
uint64_t GetPhysicalMemoryMiB();

// Every byte of the buffer XORed with mask, in place.
void XorBuffer(void* buffer, uint8_t mask, size_t length);

}  // namespace zv
