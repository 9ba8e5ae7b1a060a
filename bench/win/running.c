/* Windows benchmark helper: how long a start takes to put the new version in
 * place while another instance of the program keeps running.
 *
 *   running QUENNEL NEW INSTALLED   INSTALLED is a copy of this program
 *   running --sleep                 what that other instance does
 *
 * Starts INSTALLED (it sleeps), then Quennel, and prints the times from
 * Quennel's start to the new version in place and to Quennel's end, in ms. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

static double Seconds(void) {
  static LARGE_INTEGER frequency;
  LARGE_INTEGER now;
  if (!frequency.QuadPart) QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  return (double)now.QuadPart / (double)frequency.QuadPart;
}

static LONGLONG SizeOf(const char* path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return -1;
  return ((LONGLONG)data.nFileSizeHigh << 32) | data.nFileSizeLow;
}

static HANDLE Start(const char* program, const char* command) {
  char line[3 * MAX_PATH + 16];
  snprintf(line, sizeof line, "%s", command);
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  if (!CreateProcessA(program, line, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) return NULL;
  CloseHandle(process.hThread);
  return process.hProcess;
}

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "--sleep") == 0) {
    Sleep(60000);
    return 0;
  }
  if (argc == 1) return 0; /* the new version, started by Quennel */
  if (argc != 4) {
    fprintf(stderr, "usage: running QUENNEL NEW INSTALLED\n");
    return 2;
  }
  const char *quennel = argv[1], *source = argv[2], *installed = argv[3];
  const LONGLONG newSize = SizeOf(source);
  char command[3 * MAX_PATH + 16];
  snprintf(command, sizeof command, "\"%s\" --sleep", installed);
  HANDLE other = Start(installed, command);
  if (!other) {
    fprintf(stderr, "running: cannot start %s (%lu)\n", installed, GetLastError());
    return 1;
  }
  Sleep(300);
  snprintf(command, sizeof command, "\"%s\" \"%s\" \"%s\"", quennel, source, installed);
  const double start = Seconds();
  HANDLE run = Start(quennel, command);
  if (!run) {
    fprintf(stderr, "running: cannot start %s (%lu)\n", quennel, GetLastError());
    return 1;
  }
  double replaced = -1;
  while (Seconds() - start < 70) {
    if (SizeOf(installed) == newSize) {
      replaced = Seconds();
      break;
    }
    Sleep(1);
  }
  WaitForSingleObject(run, 70000);
  const double ended = Seconds();
  const int stillRunning = WaitForSingleObject(other, 0) == WAIT_TIMEOUT;
  TerminateProcess(other, 0);
  printf("in-place-ms %.1f end-ms %.1f other-still-running %d\n", replaced < 0 ? -1 : (replaced - start) * 1000,
         (ended - start) * 1000, stillRunning);
  return replaced < 0;
}
