/*
 * The loader the load and first-selection benchmarks start afresh for every measurement. It opens
 * the shared library named by its first argument (RTLD_NOW, as the dynamic linker binds this
 * library anyway), then makes one call:
 *   probe LIBRARY                          nothing (the library alone)
 *   probe LIBRARY FUNCTION                 FUNCTION(void), which must return 0
 *   probe LIBRARY SelectSigner FILTER FLAGS KEYUSAGE
 *                                          SelectSigner with the ASCII FILTER, which must return 0
 * and prints two figures in microseconds: the dlopen, and the call. "--also OTHER" before LIBRARY
 * (repeatable) opens OTHER first, counted with the dlopen.
 */
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static double Seconds(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)now.tv_sec + (double)now.tv_nsec * 1e-9;
}

int main(int argc, char** argv) {
  const double start = Seconds();
  while (argc >= 3 && strcmp(argv[1], "--also") == 0) {
    if (dlopen(argv[2], RTLD_NOW | RTLD_LOCAL) == NULL) {
      fprintf(stderr, "%s\n", dlerror());
      return 1;
    }
    argc -= 2;
    argv += 2;
  }
  if (argc < 2) return 2;
  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == NULL) {
    fprintf(stderr, "%s\n", dlerror());
    return 1;
  }
  const double loaded = Seconds();
  if (argc == 3) {
    int32_t (*call)(void) = (int32_t(*)(void))dlsym(library, argv[2]);
    if (call == NULL || call() != 0) return 1;
  } else if (argc == 6 && strcmp(argv[2], "SelectSigner") == 0) {
    int32_t (*select)(const uint16_t*, int32_t, int32_t) =
        (int32_t(*)(const uint16_t*, int32_t, int32_t))dlsym(library, "SelectSigner");
    uint16_t filter[256];
    size_t length = strlen(argv[3]);
    if (select == NULL || length >= 256) return 2;
    for (size_t i = 0; i <= length; ++i) filter[i] = (unsigned char)argv[3][i];
    if (select(filter, (int32_t)strtol(argv[4], NULL, 0), (int32_t)strtol(argv[5], NULL, 0)) != 0) {
      return 1;
    }
  } else if (argc != 2) {
    return 2;
  }
  const double called = Seconds();
  printf("%.1f %.1f\n", (loaded - start) * 1e6, (called - loaded) * 1e6);
  return 0;
}
