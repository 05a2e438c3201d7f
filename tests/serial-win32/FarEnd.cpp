// The far end of a Windows test program's serial port, run on the Linux
// build machine. It creates a pseudo-terminal, maps a COM port of the Wine
// prefix to its slave side through the registry, runs the test program with
// Wine and answers what the program sends over the line:
//
//   "E<n>\n" then n bytes   the n bytes are sent back unchanged
//   "T<text>\n"             <text> is sent
//   "W<ms> <text>\n"        <text> is sent after <ms> milliseconds, as a
//                           device answers a line once it has come in
//   "S\n"                   the line settings the slave side has now are
//                           sent as one line of text (see Settings below)
//   "H\n"                   the far end vanishes: the pty is closed
//
// Usage: far-end COMn <wine-run> <program.exe> [arguments...]
// The program finds the port's name in TARNUP_TEST_PORT. The exit status is
// the program's.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int Run(const std::vector<std::string>& args, const char* portName) {
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (portName != nullptr) ::setenv("TARNUP_TEST_PORT", portName, 1);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    std::perror(argv[0]);
    ::_exit(127);
  }
  return pid;
}

int Status(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  return 128 + (WIFSIGNALED(raw) ? WTERMSIG(raw) : 0);
}

int Wait(pid_t pid) {
  int raw = 0;
  while (::waitpid(pid, &raw, 0) < 0) {
    if (errno != EINTR) return 125;
  }
  return Status(raw);
}

void SendAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
      return;
    } else {
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, 100);
    }
  }
}

// "<speed> <data bits> <parity N/O/E/M/S> <stop bits> <flags>", the flags
// being crtscts, ixon, ixoff and inpck, each with "-" when off.
std::string Settings(int fd) {
  termios t{};
  if (::tcgetattr(fd, &t) != 0) return "error\n";
  const speed_t codes[] = {B50,   B75,   B110,  B134,  B150,   B200,   B300,   B600,    B1200,
                           B1800, B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};
  const int rates[] = {50,   75,   110,  134,  150,   200,   300,   600,    1200,
                       1800, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
  int rate = -1;
  for (std::size_t i = 0; i < sizeof codes / sizeof codes[0]; ++i) {
    if (::cfgetospeed(&t) == codes[i]) rate = rates[i];
  }
  int bits = 8;
  switch (t.c_cflag & CSIZE) {
    case CS5:
      bits = 5;
      break;
    case CS6:
      bits = 6;
      break;
    case CS7:
      bits = 7;
      break;
    default:
      break;
  }
  char parity = 'N';
  if (t.c_cflag & PARENB) {
    const bool odd = (t.c_cflag & PARODD) != 0;
    if (t.c_cflag & CMSPAR) {
      parity = odd ? 'M' : 'S';
    } else {
      parity = odd ? 'O' : 'E';
    }
  }
  std::string text = std::to_string(rate) + " " + std::to_string(bits) + " " + parity + " " +
                     ((t.c_cflag & CSTOPB) ? "2" : "1");
  text += (t.c_cflag & CRTSCTS) ? " crtscts" : " -crtscts";
  text += (t.c_iflag & IXON) ? " ixon" : " -ixon";
  text += (t.c_iflag & IXOFF) ? " ixoff" : " -ixoff";
  text += (t.c_iflag & INPCK) ? " inpck" : " -inpck";
  return text + "\n";
}

// Answers the commands until the program ends (its exit status is
// returned) or the far end hangs up (-1).
int Serve(int master, pid_t program) {
  std::string pending;
  for (;;) {
    int raw = 0;
    const pid_t ended = ::waitpid(program, &raw, WNOHANG);
    if (ended == program) {
      ::close(master);
      return Status(raw);
    }
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0 || !(p.revents & POLLIN)) continue;
    char buffer[512];
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0) continue;  // nobody holds the slave side yet
    pending.append(buffer, static_cast<std::size_t>(n));
    for (;;) {
      const std::size_t end = pending.find('\n');
      if (end == std::string::npos) break;
      const std::string command = pending.substr(0, end);
      if (command.empty()) {
        pending.erase(0, 1);
        continue;
      }
      if (command[0] == 'E') {
        const std::size_t count = std::strtoul(command.c_str() + 1, nullptr, 10);
        if (pending.size() < end + 1 + count) break;  // payload incomplete
        SendAll(master, pending.substr(end + 1, count));
        pending.erase(0, end + 1 + count);
        continue;
      }
      pending.erase(0, end + 1);
      if (command[0] == 'T') {
        SendAll(master, command.substr(1));
      } else if (command[0] == 'W') {
        const std::size_t space = command.find(' ');
        if (space != std::string::npos) {
          ::usleep(static_cast<useconds_t>(std::strtoul(command.c_str() + 1, nullptr, 10) * 1000));
          SendAll(master, command.substr(space + 1));
        }
      } else if (command[0] == 'S') {
        SendAll(master, Settings(master));
      } else if (command[0] == 'H') {
        ::close(master);
        return -1;
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s COMn wine-run program.exe [arguments...]\n", argv[0]);
    return 2;
  }
  const std::string port = argv[1];
  const std::string wine = argv[2];

  // Neither side may be inherited by Wine or its server: the far end must
  // be able to vanish.
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
    std::perror("far-end: pty");
    return 125;
  }
  const std::string slave = ::ptsname(master);
  // Keep the slave side open here as well: a pty whose slave has no holder
  // reads as hung up between the program's openings.
  const int keeper = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  std::fprintf(stderr, "far-end: %s is %s\n", port.c_str(), slave.c_str());

  // Wine's device manager makes the prefix's link for the port from the
  // registry value when it starts (and rewrites any link made by hand then).
  // A server of the prefix that is already running has done that before the
  // value was set, so the link is made here as well, to the same device.
  const pid_t reg = Run({wine, "reg", "add", "HKLM\\Software\\Wine\\Ports", "/v", port, "/t",
                         "REG_SZ", "/d", slave, "/f"},
                        nullptr);
  if (reg < 0 || Wait(reg) != 0) {
    std::fprintf(stderr, "far-end: could not map %s with wine reg add\n", port.c_str());
    return 125;
  }
  // The device manager also lists the port in the registry's serial device
  // map when it starts; for a server already running, the entry is made
  // here, as it would have made it.
  const std::string device = "\\Device\\Serial" + std::to_string(std::atoi(port.c_str() + 3) - 1);
  const pid_t listed = Run({wine, "reg", "add", "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM", "/v",
                            device, "/t", "REG_SZ", "/d", port, "/f"},
                           nullptr);
  if (listed < 0 || Wait(listed) != 0) {
    std::fprintf(stderr, "far-end: could not list %s in the serial device map\n", port.c_str());
    return 125;
  }
  if (const char* prefix = std::getenv("WINEPREFIX"); prefix != nullptr && *prefix != 0) {
    std::string lower = port;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string link = std::string(prefix) + "/dosdevices/" + lower;
    ::unlink(link.c_str());
    if (::symlink(slave.c_str(), link.c_str()) != 0) std::perror("far-end: link");
  }

  std::vector<std::string> program = {wine};
  for (int i = 3; i < argc; ++i) program.emplace_back(argv[i]);
  const pid_t pid = Run(program, port.c_str());
  if (pid < 0) return 125;
  // The far end's hang-up closes the master; the slave side is let go too,
  // so that the line is gone for good.
  const int status = Serve(master, pid);
  if (keeper >= 0) ::close(keeper);
  return status >= 0 ? status : Wait(pid);
}
