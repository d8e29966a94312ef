// serial-flags DEVICE, run in the real-driver guest: whether the driver behind DEVICE has low
// latency on (ASYNC_LOW_LATENCY in TIOCGSERIAL's flags), as "low-latency on" or "low-latency
// off". Opens without taking the line: a second descriptor on a tty another program uses leaves
// its settings alone (as root, through that program's exclusive mode). Exit 1 with the reason
// when the device or its flags cannot be read.
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: serial-flags DEVICE\n");
        return 2;
    }
    const int fd = ::open(argv[1], O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    serial_struct s{};
    if (fd < 0 || ::ioctl(fd, TIOCGSERIAL, &s) != 0) {
        std::fprintf(stderr, "serial-flags: %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    std::printf("low-latency %s\n", (s.flags & ASYNC_LOW_LATENCY) != 0 ? "on" : "off");
    ::close(fd);
    return 0;
}
