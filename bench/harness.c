/* Side-by-side timing: runs each contender once per round, in an order that
 * rotates from round to round, for many rounds, and prints for each the
 * median wall time and the median of its per-round ratio to the first
 * contender (the reference). Ratios taken within a round cancel most of the
 * machine's drift, which a bare time would not.
 *
 *   harness [-n ROUNDS] [-w WARMUP] [-s SETUP] [-t TITLE] [-p A/B]... -- NAME CMD ARG... [:: NAME CMD ARG...]...
 *
 * -p A/B also prints the median per-round ratio of contender A to B.
 * SETUP is a shell command run before every timed run and not timed (to put
 * the files back in their starting state). Output of the contenders is
 * discarded; any run that fails stops the harness. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum { kMaxContenders = 8 };

struct Contender {
  const char* name;
  char** argv;
  double* wall;  /* seconds, one per round */
  double* cpu;   /* user + system seconds of the process tree */
};

static double Now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

static void Setup(const char* command) {
  if (!command) return;
  const int status = system(command);
  if (status != 0) {
    fprintf(stderr, "harness: setup failed (%d): %s\n", status, command);
    exit(1);
  }
}

/* One run: wall time from fork to reaping, CPU time from the rusage. */
static void RunOnce(const struct Contender* c, double* wall, double* cpu) {
  const double start = Now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execvp(c->argv[0], c->argv);
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) {
    perror("harness");
    exit(1);
  }
  *wall = Now() - start;
  *cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "harness: %s failed (status %d)\n", c->name, status);
    exit(1);
  }
}

static int Compare(const void* a, const void* b) {
  const double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

static double Median(const double* values, int n) {
  double* sorted = malloc(sizeof *sorted * n);
  memcpy(sorted, values, sizeof *sorted * n);
  qsort(sorted, n, sizeof *sorted, Compare);
  const double median = n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
  free(sorted);
  return median;
}

/* Sorted per-round ratios of a's time to b's. */
static void RoundRatios(const struct Contender* a, const struct Contender* b, int rounds,
                        double* ratios) {
  for (int r = 0; r < rounds; ++r) ratios[r] = a->wall[r] / b->wall[r];
  qsort(ratios, rounds, sizeof *ratios, Compare);
}

/* The contender whose name is `text` up to `end` (or its end). */
static const struct Contender* Find(const struct Contender* contenders, int count,
                                    const char* text, char end) {
  const char* stop = strchr(text, end);
  const size_t length = stop ? (size_t)(stop - text) : strlen(text);
  for (int k = 0; k < count; ++k)
    if (strlen(contenders[k].name) == length && strncmp(contenders[k].name, text, length) == 0)
      return &contenders[k];
  return NULL;
}

static void Usage(void) {
  fprintf(stderr,
          "usage: harness [-n ROUNDS] [-w WARMUP] [-s SETUP] [-t TITLE] [-p A/B]... -- NAME CMD ARG... "
          "[:: NAME CMD ARG...]...\n");
  exit(2);
}

int main(int argc, char** argv) {
  int rounds = 200, warmup = 5;
  const char* setup = NULL;
  const char* title = "benchmark";
  const char* pairs[kMaxContenders * kMaxContenders];
  int pairCount = 0;
  int opt;
  while ((opt = getopt(argc, argv, "n:w:s:t:p:")) != -1) {
    if (opt == 'p' && pairCount < kMaxContenders * kMaxContenders) pairs[pairCount++] = optarg;
    else if (opt == 'n') rounds = atoi(optarg);
    else if (opt == 'w') warmup = atoi(optarg);
    else if (opt == 's') setup = optarg;
    else if (opt == 't') title = optarg;
    else Usage();
  }
  if (rounds < 1 || optind >= argc) Usage();

  struct Contender contenders[kMaxContenders];
  int count = 0;
  for (int i = optind; i < argc;) {
    if (count == kMaxContenders || i + 1 >= argc) Usage();
    struct Contender* c = &contenders[count++];
    c->name = argv[i++];
    c->argv = &argv[i];
    while (i < argc && strcmp(argv[i], "::") != 0) ++i;
    if (i < argc) argv[i++] = NULL; /* ends this contender's argv */
    c->wall = calloc(rounds, sizeof *c->wall);
    c->cpu = calloc(rounds, sizeof *c->cpu);
  }
  if (count < 2) Usage();

  double wall, cpu;
  for (int r = 0; r < warmup; ++r)
    for (int k = 0; k < count; ++k) {
      Setup(setup);
      RunOnce(&contenders[k], &wall, &cpu);
    }
  for (int r = 0; r < rounds; ++r)
    for (int j = 0; j < count; ++j) {
      const int k = (r + j) % count; /* each contender takes each place in turn */
      Setup(setup);
      RunOnce(&contenders[k], &contenders[k].wall[r], &contenders[k].cpu[r]);
    }

  printf("# %s: %d rounds, order rotating, medians; ratio = median of per-round time / %s's\n",
         title, rounds, contenders[0].name);
  printf("%-10s %12s %12s %14s %14s\n", "contender", "wall", "cpu", "ratio", "ratio(p25-p75)");
  double* ratios = malloc(sizeof *ratios * rounds);
  for (int k = 0; k < count; ++k) {
    const struct Contender* c = &contenders[k];
    RoundRatios(c, &contenders[0], rounds, ratios);
    printf("%-10s %10.1fus %10.1fus %14.3f %7.3f-%.3f\n", c->name, Median(c->wall, rounds) * 1e6,
           Median(c->cpu, rounds) * 1e6, Median(ratios, rounds), ratios[rounds / 4],
           ratios[(3 * rounds) / 4]);
  }
  for (int p = 0; p < pairCount; ++p) {
    const struct Contender* a = Find(contenders, count, pairs[p], '/');
    const char* slash = strchr(pairs[p], '/');
    const struct Contender* b = slash ? Find(contenders, count, slash + 1, '\0') : NULL;
    if (!a || !b) {
      fprintf(stderr, "harness: no such pair %s\n", pairs[p]);
      return 2;
    }
    RoundRatios(a, b, rounds, ratios);
    printf("ratio %s/%s: %.3f (p25-p75 %.3f-%.3f)\n", a->name, b->name, Median(ratios, rounds),
           ratios[rounds / 4], ratios[(3 * rounds) / 4]);
  }
  free(ratios);
  return 0;
}
