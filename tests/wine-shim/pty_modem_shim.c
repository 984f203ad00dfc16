/* Preloaded into Wine so that a Linux pseudo-terminal can stand in for a COM
 * port: ptys have no modem lines and refuse the modem-line ioctls, which makes
 * Wine fail WaitCommEvent, GetCommModemStatus and EscapeCommFunction. Here a
 * pty answers them like a cable with CTS, DSR and DCD on, and keeps DTR and
 * RTS as last set. Every other descriptor and request goes to the real ioctl
 * untouched. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>

#define MAX_FDS 4096
#define PTY_SLAVE_MAJOR_FIRST 136 /* Unix98 pty slaves: majors 136..143 */
#define PTY_SLAVE_MAJOR_LAST 143

static int shadow[MAX_FDS];          /* DTR / RTS as set, per descriptor */
static unsigned char known[MAX_FDS]; /* shadow[fd] has been set */

typedef int (*ioctl_fn)(int, unsigned long, ...);

static int is_pty(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return 0;
  return major(st.st_rdev) >= PTY_SLAVE_MAJOR_FIRST && major(st.st_rdev) <= PTY_SLAVE_MAJOR_LAST;
}

int ioctl(int fd, unsigned long request, ...) {
  static ioctl_fn real;
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  if (!real) real = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");

  int rc = real(fd, request, arg);
  if (rc == 0 || (errno != ENOTTY && errno != EINVAL) || fd < 0 || fd >= MAX_FDS) return rc;
  if (request != TIOCMGET && request != TIOCMSET && request != TIOCMBIS && request != TIOCMBIC) {
    return rc;
  }
  int saved = errno;
  if (!is_pty(fd)) {
    errno = saved;
    return rc;
  }
  if (!known[fd]) {
    shadow[fd] = TIOCM_DTR | TIOCM_RTS;
    known[fd] = 1;
  }
  int* bits = (int*)arg;
  const int settable = TIOCM_DTR | TIOCM_RTS;
  switch (request) {
    case TIOCMGET:
      *bits = shadow[fd] | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
      break;
    case TIOCMSET:
      shadow[fd] = *bits & settable;
      break;
    case TIOCMBIS:
      shadow[fd] |= *bits & settable;
      break;
    default:
      shadow[fd] &= ~(*bits & settable);
      break;
  }
  errno = 0;
  return 0;
}
