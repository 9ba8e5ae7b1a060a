/* The floor for any launcher: look at both files' times, then become the
 * installed program. Quennel's launch path does this and no more when
 * nothing is to be installed. */
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  struct stat source, dest;
  const int haveSource = stat(argv[1], &source) == 0;
  const int haveDest = stat(argv[2], &dest) == 0;
  /* Installing is not part of this benchmark. */
  if (haveSource && haveDest && source.st_mtim.tv_sec > dest.st_mtim.tv_sec) return 3;
  execv(argv[2], argv + 2);
  return 127;
}
