// Serial devices on termios. The descriptor is non-blocking from the start;
// every wait is a poll() bounded by the caller's time, so a read on a silent
// line sleeps in the kernel instead of spinning.
#include "platform/serial.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <limits.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>

struct PLAT_SERIAL_IMPL {
  int fd;
  // What termios cannot hold; answered back by plat_serial_get_state.
  PLAT_SERIAL_STATE kept;
  uint8_t* read_cell;
  bool read_pending;
  const uint8_t* write_next;
  size_t write_left;
  bool write_pending;
};

namespace {

// The terminal layer's receive buffer (N_TTY_BUF_SIZE on Linux).
const uint32_t kReceiveQueue = 4096;

struct SPEED {
  uint32_t baud;
  speed_t code;
};
const SPEED kSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

int64_t now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits for events on fd until deadline (milliseconds of now_ms). Answers
// the poll revents, 0 when the deadline passed, -1 on failure.
int wait_fd(int fd, short events, int64_t deadline) {
  for (;;) {
    int64_t left = deadline - now_ms();
    if (left < 0) left = 0;
    pollfd p{fd, events, 0};
    int r = poll(&p, 1, static_cast<int>(left));
    if (r > 0) return p.revents;
    if (r == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

// Compares the n bytes at text with word (lower case), ignoring case.
bool same(const char* text, size_t n, const char* word) {
  if (std::strlen(word) != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (lower(text[i]) != word[i]) return false;
  return true;
}

bool parse_baud(const char* v, size_t n, uint32_t* out) {
  if (n == 0 || n > 8) return false;
  uint32_t b = 0;
  for (size_t i = 0; i < n; ++i) {
    if (v[i] < '0' || v[i] > '9') return false;
    b = b * 10 + static_cast<uint32_t>(v[i] - '0');
  }
  // The mode command's two-digit forms.
  static const uint32_t kShort[][2] = {{11, 110},  {15, 150},  {30, 300},  {60, 600},   {12, 1200},
                                       {24, 2400}, {48, 4800}, {96, 9600}, {19, 19200}};
  if (n == 2)
    for (const auto& s : kShort)
      if (b == s[0]) b = s[1];
  if (b == 0) return false;
  *out = b;
  return true;
}

bool parse_parity(const char* v, size_t n, char* out) {
  if (n != 1) return false;
  switch (lower(v[0])) {
    case 'n': *out = PLAT_PARITY_NONE; return true;
    case 'e': *out = PLAT_PARITY_EVEN; return true;
    case 'o': *out = PLAT_PARITY_ODD; return true;
    case 'm': *out = PLAT_PARITY_MARK; return true;
    case 's': *out = PLAT_PARITY_SPACE; return true;
  }
  return false;
}

bool parse_data(const char* v, size_t n, uint8_t* out) {
  if (n != 1 || v[0] < '5' || v[0] > '8') return false;
  *out = static_cast<uint8_t>(v[0] - '0');
  return true;
}

bool parse_stop(const char* v, size_t n, uint8_t* out) {
  if (same(v, n, "1")) *out = PLAT_STOP_1;
  else if (same(v, n, "1.5")) *out = PLAT_STOP_1_5;
  else if (same(v, n, "2")) *out = PLAT_STOP_2;
  else return false;
  return true;
}

bool parse_switch(const char* v, size_t n, int8_t* out) {
  if (same(v, n, "on")) *out = PLAT_SWITCH_ON;
  else if (same(v, n, "off")) *out = PLAT_SWITCH_OFF;
  else return false;
  return true;
}

bool parse_keyed(const char* text, PLAT_SERIAL_LINE* line) {
  bool seen[11] = {};
  const char* p = text;
  for (;;) {
    while (*p == ' ' || *p == '\t') ++p;
    if (!*p) return true;
    const char* token = p;
    while (*p && *p != ' ' && *p != '\t') ++p;
    const char* eq = static_cast<const char*>(std::memchr(token, '=', static_cast<size_t>(p - token)));
    if (!eq) return false;
    size_t kn = static_cast<size_t>(eq - token);
    const char* v = eq + 1;
    size_t vn = static_cast<size_t>(p - v);
    static const char* const kKeys[] = {"baud", "parity", "data", "stop", "to", "xon",
                                        "odsr", "octs",   "dtr",  "rts",  "idsr"};
    int key = -1;
    for (int i = 0; i < 11; ++i)
      if (same(token, kn, kKeys[i])) key = i;
    if (key < 0 || seen[key]) return false;
    seen[key] = true;
    bool ok = false;
    switch (key) {
      case 0: ok = parse_baud(v, vn, &line->baud); break;
      case 1: ok = parse_parity(v, vn, &line->parity); break;
      case 2: ok = parse_data(v, vn, &line->data_bits); break;
      case 3: ok = parse_stop(v, vn, &line->stop_bits); break;
      case 4: ok = parse_switch(v, vn, &line->timeout_retry); break;
      case 5: ok = parse_switch(v, vn, &line->xon); break;
      case 6: ok = parse_switch(v, vn, &line->out_dsr); break;
      case 7: ok = parse_switch(v, vn, &line->out_cts); break;
      case 8:
        ok = parse_switch(v, vn, &line->dtr);
        if (!ok && same(v, vn, "hs")) line->dtr = PLAT_DTR_HANDSHAKE, ok = true;
        break;
      case 9:
        ok = parse_switch(v, vn, &line->rts);
        if (!ok && same(v, vn, "hs")) line->rts = PLAT_RTS_HANDSHAKE, ok = true;
        if (!ok && same(v, vn, "tg")) line->rts = PLAT_RTS_TOGGLE, ok = true;
        break;
      case 10: ok = parse_switch(v, vn, &line->in_dsr); break;
    }
    if (!ok) return false;
  }
}

// "96,n,8,1" and its shorter and longer forms.
bool parse_positional(const char* text, PLAT_SERIAL_LINE* line) {
  const char* fields[5];
  size_t lengths[5];
  int count = 0;
  const char* p = text;
  while (*p == ' ' || *p == '\t') ++p;
  for (;;) {
    if (count == 5) return false;
    const char* start = p;
    while (*p && *p != ',') ++p;
    const char* end = p;
    while (end > start && (end[-1] == ' ' || end[-1] == '\t')) --end;
    while (start < end && (*start == ' ' || *start == '\t')) ++start;
    fields[count] = start;
    lengths[count] = static_cast<size_t>(end - start);
    ++count;
    if (!*p) break;
    ++p;
  }
  if (!parse_baud(fields[0], lengths[0], &line->baud)) return false;
  if (count > 1 && lengths[1] && !parse_parity(fields[1], lengths[1], &line->parity)) return false;
  if (count > 2 && lengths[2] && !parse_data(fields[2], lengths[2], &line->data_bits)) return false;
  if (count > 3 && lengths[3] && !parse_stop(fields[3], lengths[3], &line->stop_bits)) return false;
  if (count > 4 && lengths[4]) {
    if (same(fields[4], lengths[4], "x")) {
      line->xon = PLAT_SWITCH_ON;
    } else if (same(fields[4], lengths[4], "p")) {
      line->out_cts = PLAT_SWITCH_ON;
      line->out_dsr = PLAT_SWITCH_ON;
      line->dtr = PLAT_DTR_HANDSHAKE;
      line->rts = PLAT_RTS_HANDSHAKE;
    } else {
      return false;
    }
  }
  return true;
}

void modem_line(int fd, int bit, bool on) {
  int bits = bit;
  // Devices without modem lines (pseudo-terminals) refuse; that is fine.
  (void)ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits);
}

}  // namespace

bool plat_serial_parse_settings(const char* text, PLAT_SERIAL_LINE* line) {
  std::memset(line, 0, sizeof *line);
  line->timeout_retry = line->xon = line->out_dsr = line->out_cts = PLAT_SWITCH_UNSET;
  line->dtr = line->rts = line->in_dsr = PLAT_SWITCH_UNSET;
  bool ok = false;
  if (text) {
    const char* p = text;
    while (*p == ' ' || *p == '\t') ++p;
    if (*p) ok = std::strchr(p, '=') ? parse_keyed(p, line) : parse_positional(p, line);
  }
  if (ok && line->stop_bits == 0 && line->baud == 110) line->stop_bits = PLAT_STOP_2;
  if (!ok) {
    std::memset(line, 0, sizeof *line);
    line->timeout_retry = line->xon = line->out_dsr = line->out_cts = PLAT_SWITCH_UNSET;
    line->dtr = line->rts = line->in_dsr = PLAT_SWITCH_UNSET;
    errno = EINVAL;
  }
  return ok;
}

namespace {

// Whether the device at path is a terminal, decided before it is opened:
// opening some other devices has effects of its own (a watchdog starts
// counting), and a descriptor may name any file. sysfs tells the subsystem
// of a character device; pseudo-terminal slaves are not in sysfs and are
// known by their major numbers. Without sysfs the open goes ahead and the
// terminal test after it decides.
bool may_be_terminal(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) return false;  // errno says why
  if (!S_ISCHR(st.st_mode)) {
    errno = ENOTTY;
    return false;
  }
  unsigned major_number = major(st.st_rdev);
  if (major_number >= 136 && major_number <= 143) return true;
  struct stat sys;
  if (stat("/sys/dev/char", &sys) != 0) return true;
  char link[64];
  std::snprintf(link, sizeof link, "/sys/dev/char/%u:%u/subsystem", major_number, minor(st.st_rdev));
  char target[PATH_MAX];
  ssize_t n = readlink(link, target, sizeof target - 1);
  if (n > 0) {
    target[n] = '\0';
    const char* base = std::strrchr(target, '/');
    if (base && std::strcmp(base, "/tty") == 0) return true;
  }
  errno = ENOTTY;
  return false;
}

}  // namespace

PLAT_SERIAL plat_serial_open(const char* path) {
  if (!may_be_terminal(path)) return nullptr;
  int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  // flock holds against this process and every other one, root included;
  // TIOCEXCL also stops programs that do not take the lock (except root's).
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    errno = EBUSY;
    return nullptr;
  }
  termios t;
  if (tcgetattr(fd, &t) != 0) {
    int e = errno;
    close(fd);
    errno = e;
    return nullptr;
  }
  (void)ioctl(fd, TIOCEXCL);
  PLAT_SERIAL port = new (std::nothrow) PLAT_SERIAL_IMPL{};
  if (!port) {
    close(fd);
    errno = ENOMEM;
    return nullptr;
  }
  port->fd = fd;
  PLAT_SERIAL_STATE& k = port->kept;
  k.binary = true;
  k.dtr_control = PLAT_DTR_ENABLE;
  k.rts_control = (t.c_cflag & CRTSCTS) ? PLAT_RTS_HANDSHAKE : PLAT_RTS_ENABLE;
  k.out_cts_flow = (t.c_cflag & CRTSCTS) != 0;
  k.xon_limit = k.xoff_limit = static_cast<uint16_t>(kReceiveQueue / 4);
  return port;
}

bool plat_serial_close(PLAT_SERIAL port) {
  if (!port) return true;
  (void)ioctl(port->fd, TIOCNXCL);
  bool ok = close(port->fd) == 0;
  int e = errno;
  delete port;
  errno = e;
  return ok;
}

bool plat_serial_set_dtr(PLAT_SERIAL port, bool on) {
  int bits = TIOCM_DTR;
  return ioctl(port->fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0;
}

bool plat_serial_get_state(PLAT_SERIAL port, PLAT_SERIAL_STATE* state) {
  termios t;
  if (tcgetattr(port->fd, &t) != 0) return false;
  *state = port->kept;
  speed_t code = cfgetospeed(&t);
  state->baud = 0;
  for (const SPEED& s : kSpeeds)
    if (s.code == code) state->baud = s.baud;
  switch (t.c_cflag & CSIZE) {
    case CS5: state->data_bits = 5; break;
    case CS6: state->data_bits = 6; break;
    case CS7: state->data_bits = 7; break;
    default: state->data_bits = 8; break;
  }
  if (!(t.c_cflag & PARENB)) state->parity = PLAT_PARITY_NONE;
#ifdef CMSPAR
  else if (t.c_cflag & CMSPAR) state->parity = (t.c_cflag & PARODD) ? PLAT_PARITY_MARK : PLAT_PARITY_SPACE;
#endif
  else state->parity = (t.c_cflag & PARODD) ? PLAT_PARITY_ODD : PLAT_PARITY_EVEN;
  // CSTOPB cannot tell 1.5 from 2; keep what was asked for when it was one
  // of them.
  if (!(t.c_cflag & CSTOPB)) state->stop_bits = PLAT_STOP_1;
  else if (port->kept.stop_bits != PLAT_STOP_1_5) state->stop_bits = PLAT_STOP_2;
  state->parity_check = (t.c_iflag & INPCK) != 0;
  state->out_x = (t.c_iflag & IXON) != 0;
  state->in_x = (t.c_iflag & IXOFF) != 0;
  return true;
}

// Stores every line setting of the state into t, leaving the rest of t as
// it is. Answers false (EINVAL) for a setting termios cannot hold. Not in
// the platform header: the tests of this backend declare it themselves.
bool plat_posix_serial_store(const PLAT_SERIAL_STATE* s, termios* tp) {
  termios& t = *tp;
  const SPEED* speed = nullptr;
  for (const SPEED& c : kSpeeds)
    if (c.baud == s->baud) speed = &c;
  // CS5 is 0, so the size's validity is kept apart from its bits.
  tcflag_t size = CS8;
  bool size_ok = true;
  switch (s->data_bits) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default: size_ok = false; break;
  }
  bool parity_ok = s->parity == PLAT_PARITY_NONE || s->parity == PLAT_PARITY_EVEN || s->parity == PLAT_PARITY_ODD;
#ifdef CMSPAR
  parity_ok = parity_ok || s->parity == PLAT_PARITY_MARK || s->parity == PLAT_PARITY_SPACE;
#endif
  bool stop_ok = s->stop_bits == PLAT_STOP_1 || s->stop_bits == PLAT_STOP_1_5 || s->stop_bits == PLAT_STOP_2;
  if (!speed || !size_ok || !parity_ok || !stop_ok) {
    errno = EINVAL;
    return false;
  }
  // Raw, always: the stream carries bytes, never lines.
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                      IXANY | INPCK);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
  t.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
  t.c_cflag |= size | CREAD | CLOCAL;
  switch (s->parity) {
    case PLAT_PARITY_EVEN: t.c_cflag |= PARENB; break;
    case PLAT_PARITY_ODD: t.c_cflag |= PARENB | PARODD; break;
#ifdef CMSPAR
    case PLAT_PARITY_MARK: t.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case PLAT_PARITY_SPACE: t.c_cflag |= PARENB | CMSPAR; break;
#endif
  }
  if (s->stop_bits != PLAT_STOP_1) t.c_cflag |= CSTOPB;
  if (s->parity_check) t.c_iflag |= INPCK;
  if (s->out_cts_flow || s->rts_control == PLAT_RTS_HANDSHAKE) t.c_cflag |= CRTSCTS;
  if (s->out_x) t.c_iflag |= IXON;
  if (s->in_x) t.c_iflag |= IXOFF;
  cfsetispeed(&t, speed->code);
  cfsetospeed(&t, speed->code);
  return true;
}

bool plat_serial_set_state(PLAT_SERIAL port, const PLAT_SERIAL_STATE* s) {
  termios t;
  if (tcgetattr(port->fd, &t) != 0) return false;
  if (!plat_posix_serial_store(s, &t)) return false;
  if (tcsetattr(port->fd, TCSANOW, &t) != 0) return false;
  modem_line(port->fd, TIOCM_DTR, s->dtr_control != PLAT_DTR_DISABLE);
  if (s->rts_control != PLAT_RTS_HANDSHAKE) modem_line(port->fd, TIOCM_RTS, s->rts_control != PLAT_RTS_DISABLE);
  port->kept = *s;
  return true;
}

bool plat_serial_receive_queue(PLAT_SERIAL, uint32_t* size) {
  *size = kReceiveQueue;
  return true;
}

bool plat_serial_clear_timeouts(PLAT_SERIAL port) {
  termios t;
  if (tcgetattr(port->fd, &t) != 0) return false;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  return tcsetattr(port->fd, TCSANOW, &t) == 0;
}

namespace {

// One read(2) of one byte. A hung-up device reads as end of file; that is
// a failure here, or a read loop would spin on it.
PLAT_SERIAL_IO read_one(int fd, uint8_t* cell) {
  for (;;) {
    ssize_t r = read(fd, cell, 1);
    if (r == 1) return PLAT_SERIAL_DONE;
    if (r == 0) {
      errno = EIO;
      return PLAT_SERIAL_FAILED;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return PLAT_SERIAL_PENDING;
    return PLAT_SERIAL_FAILED;
  }
}

PLAT_SERIAL_IO write_some(PLAT_SERIAL port) {
  while (port->write_left > 0) {
    ssize_t r = write(port->fd, port->write_next, port->write_left);
    if (r > 0) {
      port->write_next += r;
      port->write_left -= static_cast<size_t>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return PLAT_SERIAL_PENDING;
    if (r == 0) errno = EIO;
    return PLAT_SERIAL_FAILED;
  }
  return PLAT_SERIAL_DONE;
}

}  // namespace

PLAT_SERIAL_IO plat_serial_read_start(PLAT_SERIAL port, uint8_t* cell) {
  port->read_pending = false;
  PLAT_SERIAL_IO r = read_one(port->fd, cell);
  if (r == PLAT_SERIAL_PENDING) {
    port->read_cell = cell;
    port->read_pending = true;
  }
  return r;
}

PLAT_SERIAL_IO plat_serial_read_wait(PLAT_SERIAL port, int wait_ms) {
  if (!port->read_pending) {
    errno = EINVAL;
    return PLAT_SERIAL_FAILED;
  }
  int64_t deadline = now_ms() + (wait_ms > 0 ? wait_ms : 0);
  for (;;) {
    int ev = wait_fd(port->fd, POLLIN, deadline);
    if (ev == 0) return PLAT_SERIAL_PENDING;
    if (ev < 0 || (ev & POLLNVAL)) {
      port->read_pending = false;
      if (ev > 0) errno = EBADF;
      return PLAT_SERIAL_FAILED;
    }
    // POLLHUP and POLLERR come here too: the read reports them.
    PLAT_SERIAL_IO r = read_one(port->fd, port->read_cell);
    if (r != PLAT_SERIAL_PENDING) {
      port->read_pending = false;
      return r;
    }
    if (now_ms() >= deadline) return PLAT_SERIAL_PENDING;
  }
}

PLAT_SERIAL_IO plat_serial_write_start(PLAT_SERIAL port, const void* data, size_t length) {
  port->write_next = static_cast<const uint8_t*>(data);
  port->write_left = length;
  PLAT_SERIAL_IO r = write_some(port);
  port->write_pending = r == PLAT_SERIAL_PENDING;
  return r;
}

PLAT_SERIAL_IO plat_serial_write_wait(PLAT_SERIAL port, int wait_ms) {
  if (!port->write_pending) {
    errno = EINVAL;
    return PLAT_SERIAL_FAILED;
  }
  int64_t deadline = now_ms() + (wait_ms > 0 ? wait_ms : 0);
  for (;;) {
    int ev = wait_fd(port->fd, POLLOUT, deadline);
    if (ev == 0) return PLAT_SERIAL_PENDING;
    if (ev < 0 || (ev & (POLLNVAL | POLLERR | POLLHUP))) {
      port->write_pending = false;
      if (ev > 0) errno = EIO;
      return PLAT_SERIAL_FAILED;
    }
    PLAT_SERIAL_IO r = write_some(port);
    if (r != PLAT_SERIAL_PENDING) {
      port->write_pending = false;
      return r;
    }
    if (now_ms() >= deadline) return PLAT_SERIAL_PENDING;
  }
}

bool plat_serial_purge(PLAT_SERIAL port, unsigned flags, int) {
  bool ok = true;
  if (flags & PLAT_PURGE_RXABORT) port->read_pending = false;
  if (flags & PLAT_PURGE_TXABORT) {
    port->write_pending = false;
    port->write_left = 0;
  }
  // Output of an aborted write would otherwise still leave later, cutting
  // into the next command.
  if (flags & (PLAT_PURGE_TXABORT | PLAT_PURGE_TXCLEAR)) ok = tcflush(port->fd, TCOFLUSH) == 0 && ok;
  if (flags & PLAT_PURGE_RXCLEAR) ok = tcflush(port->fd, TCIFLUSH) == 0 && ok;
  return ok;
}
