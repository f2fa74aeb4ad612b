// Starts the agent once and reports, on one line: the time from exec to its main window being
// mapped on the X server (ms), its resident memory a second later (kB), and the CPU time it had
// used when the window was mapped (ms). Used by bench/startup.sh.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

long windowPid(Display* display, Window window) {
    const Atom pidAtom = XInternAtom(display, "_NET_WM_PID", False);
    Atom type = None;
    int format = 0;
    unsigned long items = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    long pid = -1;
    if (XGetWindowProperty(display, window, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format,
                           &items, &after, &data) == Success &&
        data && items == 1 && format == 32) {
        pid = static_cast<long>(*reinterpret_cast<unsigned long*>(data));
    }
    if (data) {
        XFree(data);
    }
    return pid;
}

long rssKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

// CPU time (user + system) the process has used so far, in milliseconds.
double cpuMs(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    // Fields after the command name: state is field 3; utime and stime are fields 14 and 15.
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) {
            utime = std::stoull(field);
        } else if (i == 15) {
            stime = std::stoull(field);
        }
    }
    return 1000.0 * static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: startup_probe AGENT [ARGS...]\n");
        return 2;
    }
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });  // windows come and go
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "startup_probe: no X display\n");
        return 2;
    }
    // Without a window manager top-level windows are children of the root: their MapNotify
    // arrives here.
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    XSync(display, False);

    const Clock::time_point start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        // The agent echoes its log; only the probe's own line goes to standard output.
        const int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, STDOUT_FILENO);
        dup2(devnull, STDERR_FILENO);
        execv(argv[1], argv + 1);
        _exit(127);
    }

    double mappedMs = -1;
    double mappedCpuMs = -1;
    const int fd = ConnectionNumber(display);
    while (mappedMs < 0 && Clock::now() - start < std::chrono::seconds(30)) {
        while (XPending(display)) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == MapNotify && windowPid(display, event.xmap.window) == pid) {
                XWindowAttributes attributes;
                // Qt maps small helper windows too; the main window is the large one.
                if (XGetWindowAttributes(display, event.xmap.window, &attributes) &&
                    attributes.width >= 100) {
                    mappedMs =
                        std::chrono::duration<double, std::milli>(Clock::now() - start).count();
                    mappedCpuMs = cpuMs(pid);
                }
            }
        }
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            std::fprintf(stderr, "startup_probe: the agent ended before its window appeared\n");
            return 1;
        }
        fd_set fds;
        FD_ZERO(&fds);
        FD_SET(fd, &fds);
        timeval timeout{0, 5000};
        select(fd + 1, &fds, nullptr, nullptr, &timeout);
    }

    // Let the first events settle before reading the memory figure.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    const long rss = rssKb(pid);
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    XCloseDisplay(display);
    if (mappedMs < 0) {
        std::fprintf(stderr, "startup_probe: no window within 30 s\n");
        return 1;
    }
    std::printf("%.1f %ld %.0f\n", mappedMs, rss, mappedCpuMs);
    return 0;
}
