/* Test-only process control on Windows: ending a run from outside, sleeping. */
#include "harness.h"

#include <windows.h>

namespace harness {

/* How long an ended process is given to be gone. */
constexpr DWORD END_WAIT_MS = 10000;

void process_end(intptr_t proc, bool hard)
{
	/* Windows has no polite stop for a program without a window. */
	(void)hard;
	TerminateProcess((HANDLE)proc, 1);
	WaitForSingleObject((HANDLE)proc, END_WAIT_MS);
}

void sleep_ms(int ms)
{
	Sleep((DWORD)ms);
}

} // namespace harness
