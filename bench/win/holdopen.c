/* Windows benchmark helper: holds the installed program open without
 * sharing while Quennel waits to replace it, then lets it go.
 *
 *   holdopen QUENNEL NEW INSTALLED HOLD_MS
 *
 * Prints Quennel's processor time over wall time during the wait (from
 * GetProcessTimes on its process, from 1 s after its start, when it is
 * surely past its start-up, to the release; wine counts in 10 ms ticks) and how long after the release the new version was in place. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

static double Seconds(void) {
  static LARGE_INTEGER frequency;
  LARGE_INTEGER now;
  if (!frequency.QuadPart) QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  return (double)now.QuadPart / (double)frequency.QuadPart;
}

/* User + kernel time of a process, in seconds. */
static double ProcessorTime(HANDLE process) {
  FILETIME created, ended, kernel, user;
  if (!GetProcessTimes(process, &created, &ended, &kernel, &user)) return -1;
  const ULONGLONG k = ((ULONGLONG)kernel.dwHighDateTime << 32) | kernel.dwLowDateTime;
  const ULONGLONG u = ((ULONGLONG)user.dwHighDateTime << 32) | user.dwLowDateTime;
  return (double)(k + u) * 1e-7;
}

static LONGLONG SizeOf(const char* path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return -1;
  return ((LONGLONG)data.nFileSizeHigh << 32) | data.nFileSizeLow;
}

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: holdopen QUENNEL NEW INSTALLED HOLD_MS\n");
    return 2;
  }
  const char *quennel = argv[1], *source = argv[2], *installed = argv[3];
  const double hold = atoi(argv[4]) / 1000.0;
  const LONGLONG newSize = SizeOf(source);
  if (newSize < 0 || newSize == SizeOf(installed)) {
    fprintf(stderr, "holdopen: the new version must differ in size from the installed one\n");
    return 2;
  }

  HANDLE held = CreateFileA(installed, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (held == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "holdopen: cannot open %s (%lu)\n", installed, GetLastError());
    return 1;
  }
  char command[3 * MAX_PATH + 16];
  snprintf(command, sizeof command, "\"%s\" \"%s\" \"%s\"", quennel, source, installed);
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  const double start = Seconds();
  if (!CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
    fprintf(stderr, "holdopen: cannot start %s (%lu)\n", quennel, GetLastError());
    return 1;
  }

  Sleep(1000);
  const double waitStart = Seconds(), cpuStart = ProcessorTime(process.hProcess);
  const DWORD rest = (DWORD)((start + hold - Seconds()) * 1000);
  if (WaitForSingleObject(process.hProcess, rest) != WAIT_TIMEOUT) {
    fprintf(stderr, "holdopen: Quennel ended while the file was held\n");
    return 1;
  }
  const double waitEnd = Seconds(), cpuEnd = ProcessorTime(process.hProcess);
  const LONGLONG sizeWhileHeld = SizeOf(installed);

  CloseHandle(held);
  const double released = Seconds();
  double replaced = -1;
  while (Seconds() - released < 10) {
    if (SizeOf(installed) == newSize) {
      replaced = Seconds();
      break;
    }
    Sleep(1);
  }
  DWORD status = 1;
  WaitForSingleObject(process.hProcess, 30000);
  GetExitCodeProcess(process.hProcess, &status);

  if (sizeWhileHeld == newSize) {
    fprintf(stderr, "holdopen: replaced while held: nothing was measured\n");
    return 1;
  }
  if (replaced < 0) {
    fprintf(stderr, "holdopen: not replaced within 10 s of the release (exit %lu)\n", status);
    return 1;
  }
  if (getenv("HOLDOPEN_DEBUG"))
    fprintf(stderr, "cpu %.6f -> %.6f over %.3f s\n", cpuStart, cpuEnd, waitEnd - waitStart);
  printf("cpu/wall during the wait %.4f  replaced %.1f ms after the release  exit %lu\n",
         (cpuEnd - cpuStart) / (waitEnd - waitStart), (replaced - released) * 1000, status);
  return status == 0 ? 0 : 1;
}
