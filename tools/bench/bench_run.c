/*
 * Runs two programs alternately, each many times, with the same environment
 * and standard output to /dev/null, and prints the median wall time and the
 * median peak memory of each, and their ratios.
 *
 * usage: bench_run RUNS PROGRAM_A [ARG] -- PROGRAM_B [ARG]
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now_us(void)
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

static int cmp_double(const void *a, const void *b)
{
	double x = *(const double *)a, y = *(const double *)b;

	return x < y ? -1 : x > y;
}

/* Runs argv once; returns wall microseconds, and peak memory in KiB. */
static double run_once(char **argv, long *maxrss_kb)
{
	struct rusage ru;
	int status;
	double t0 = now_us();
	pid_t pid = fork();

	if (pid == 0) {
		int fd = open("/dev/null", O_WRONLY);
		dup2(fd, 1);
		execv(argv[0], argv);
		_exit(127);
	}
	wait4(pid, &status, 0, &ru);
	if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
		fprintf(stderr, "bench_run: %s failed\n", argv[0]);
		exit(1);
	}
	*maxrss_kb = ru.ru_maxrss;
	return now_us() - t0;
}

int main(int argc, char **argv)
{
	char **a = NULL, **b = NULL;
	int runs, i;
	double *ta, *tb, *ma, *mb;

	if (argc < 5) {
		fprintf(stderr, "usage: bench_run RUNS PROGRAM_A [ARG] -- PROGRAM_B [ARG]\n");
		return 2;
	}
	runs = atoi(argv[1]);
	a = argv + 2;
	for (i = 2; i < argc; i++) {
		if (strcmp(argv[i], "--") == 0) {
			argv[i] = NULL;
			b = argv + i + 1;
		}
	}
	if (b == NULL || runs < 1)
		return 2;
	ta = calloc(runs, sizeof(double));
	tb = calloc(runs, sizeof(double));
	ma = calloc(runs, sizeof(double));
	mb = calloc(runs, sizeof(double));
	for (i = 0; i < runs; i++) {
		long ka, kb;

		/* Alternating keeps slow phases of a shared machine from
		 * landing on one side only. */
		ta[i] = run_once(a, &ka);
		tb[i] = run_once(b, &kb);
		ma[i] = ka;
		mb[i] = kb;
	}
	qsort(ta, runs, sizeof(double), cmp_double);
	qsort(tb, runs, sizeof(double), cmp_double);
	qsort(ma, runs, sizeof(double), cmp_double);
	qsort(mb, runs, sizeof(double), cmp_double);
	printf("  median wall  %8.0f us vs floor %8.0f us   ratio %.2f\n", ta[runs / 2],
	       tb[runs / 2], ta[runs / 2] / tb[runs / 2]);
	printf("  median peak  %8.0f KiB vs floor %6.0f KiB  ratio %.2f\n", ma[runs / 2],
	       mb[runs / 2], ma[runs / 2] / mb[runs / 2]);
	return 0;
}
