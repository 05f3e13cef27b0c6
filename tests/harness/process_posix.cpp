/* Test-only process control on POSIX: ending a run from outside, sleeping. */
#include "harness.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <sys/wait.h>
#include <unistd.h>

namespace harness {

/* How long an ended process is given to be gone. */
constexpr int END_WAIT_MS = 10000;

void process_end(intptr_t proc, bool hard)
{
	const pid_t pid = (pid_t)proc;
	siginfo_t info;

	kill(pid, hard ? SIGKILL : SIGTERM);
	/* Wait without reaping: the runner reaps it when the run finishes. */
	for (int waited = 0; waited < END_WAIT_MS; waited += 10) {
		std::memset(&info, 0, sizeof(info));
		if (waitid(P_PID, (id_t)pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0 && errno != EINTR)
			return;
		if (info.si_pid == pid)
			return;
		usleep(10000);
	}
}

void sleep_ms(int ms)
{
	usleep((useconds_t)ms * 1000);
}

} // namespace harness
