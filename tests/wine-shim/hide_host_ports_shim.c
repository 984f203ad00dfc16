/* Preloaded into Wine so that only the COM ports mapped in its registry are
 * listed. Wine maps each /dev/ttyS<n>, /dev/ttyUSB<n> and /dev/ttyACM<n>
 * that exists (it asks access()) to a COM port of its own, which would put
 * the build machine's serial ports beside the mapped ones; here they do not
 * exist. Every other path goes to the real access() untouched. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <string.h>
#include <unistd.h>

typedef int (*access_fn)(const char*, int);

static int is_host_port(const char* path) {
  static const char* const families[] = {"/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM"};
  for (size_t i = 0; i < sizeof families / sizeof families[0]; ++i) {
    const size_t n = strlen(families[i]);
    if (strncmp(path, families[i], n) == 0 && path[n] >= '0' && path[n] <= '9') return 1;
  }
  return 0;
}

int access(const char* path, int mode) {
  static access_fn real;
  if (!real) real = (access_fn)dlsym(RTLD_NEXT, "access");
  if (is_host_port(path)) {
    errno = ENOENT;
    return -1;
  }
  return real(path, mode);
}
