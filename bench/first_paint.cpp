// Start-up probe for bench/run.sh: starts a program, watches the X server from outside and prints
// how long it took until the program's window was mapped and until it showed what it finally
// shows, then its resident memory, then closes it through the window manager.
//
//   first_paint [--settle-ms N] [--interval-ms N] -- program [arguments...]
//
// Output, one line: map_ms=... paint_ms=... rss_kib=... exit=... unpainted_match=... launch_us=...
//   map_ms     launch -> the window (found by _NET_WM_PID among the root's children or in
//              _NET_CLIENT_LIST) is viewable
//   paint_ms   launch -> the first grab of the window in which at least 99 % of the sampled
//              pixels equal those of the last grab, taken settle-ms after the map
//   rss_kib    VmRSS of the process at the end of the settle time
//   exit       the program's exit status after the close request (-1: it had to be killed)
//   unpainted_match  share of the first grab after the map that already equalled the final
//              picture; near 1 would mean the paint cannot be told from the background
//   launch_us  the launch on the monotonic clock (std::chrono::steady_clock), in microseconds,
//              for lining up the program's own start-up marks (bench/startup-profile.sh)
// The program is not changed in any way: no hooks, no environment switches.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

// A window that goes away between two requests must not end the probe.
int ignoreXError(Display *, XErrorEvent *) { return 0; }

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "first_paint: %s\n", what);
    std::exit(2);
}

std::vector<Window> clientList(Display *dpy)
{
    Atom prop = XInternAtom(dpy, "_NET_CLIENT_LIST", False);
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char *data = nullptr;
    std::vector<Window> result;
    if (XGetWindowProperty(dpy, DefaultRootWindow(dpy), prop, 0, 1024, False, XA_WINDOW, &type, &format, &count, &after,
                           &data) == Success &&
        data) {
        auto *ids = reinterpret_cast<unsigned long *>(data);
        result.assign(ids, ids + count);
        XFree(data);
    }
    return result;
}

long windowPid(Display *dpy, Window w)
{
    Atom prop = XInternAtom(dpy, "_NET_WM_PID", False);
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char *data = nullptr;
    long pid = -1;
    if (XGetWindowProperty(dpy, w, prop, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after, &data) == Success &&
        data) {
        if (count == 1)
            pid = static_cast<long>(*reinterpret_cast<unsigned long *>(data));
        XFree(data);
    }
    return pid;
}

// Top-level windows of the process that are still children of the root, i.e. not yet taken
// into a frame by the window manager: seen this way the window is found as soon as it exists.
void rootChildrenOf(Display *dpy, pid_t pid, std::vector<Window> &found)
{
    Window root, parent, *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(dpy, DefaultRootWindow(dpy), &root, &parent, &children, &count))
        return;
    for (unsigned i = 0; i < count; ++i)
        if (windowPid(dpy, children[i]) == pid)
            found.push_back(children[i]);
    if (children)
        XFree(children);
}

// What each thread of a process that shows nothing is doing, for the error message.
void describeThreads(pid_t pid)
{
    const std::string task = "/proc/" + std::to_string(pid) + "/task/";
    for (int tid = pid; tid < pid + 64; ++tid) {
        std::ifstream stat(task + std::to_string(tid) + "/stat");
        if (!stat)
            continue;
        std::string line, wchan;
        std::getline(stat, line);
        std::ifstream(task + std::to_string(tid) + "/wchan") >> wchan;
        std::fprintf(stderr, "  thread %d: %s wchan=%s\n", tid, line.substr(0, 60).c_str(), wchan.c_str());
    }
}

long rssKib(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// The window as a grid of every 4th pixel in both directions: enough to see text and panels
// appear, small enough to keep every distinct picture for the whole settle time.
std::vector<unsigned> sample(const XImage *image)
{
    std::vector<unsigned> grid;
    grid.reserve(static_cast<size_t>(image->width / 4 + 1) * (image->height / 4 + 1));
    for (int y = 0; y < image->height; y += 4)
        for (int x = 0; x < image->width; x += 4)
            grid.push_back(static_cast<unsigned>(XGetPixel(const_cast<XImage *>(image), x, y)) & 0xffffffu);
    return grid;
}

double matchShare(const std::vector<unsigned> &a, const std::vector<unsigned> &b)
{
    if (a.size() != b.size() || a.empty())
        return 0;
    size_t same = 0;
    for (size_t i = 0; i < a.size(); ++i)
        same += a[i] == b[i];
    return static_cast<double>(same) / static_cast<double>(a.size());
}

void requestClose(Display *dpy, Window w)
{
    // What a pager does: ask the window manager, which sends the program WM_DELETE_WINDOW.
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = w;
    ev.xclient.message_type = XInternAtom(dpy, "_NET_CLOSE_WINDOW", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = CurrentTime;
    ev.xclient.data.l[1] = 2;
    XSendEvent(dpy, DefaultRootWindow(dpy), False, SubstructureRedirectMask | SubstructureNotifyMask, &ev);
    XFlush(dpy);
}

// Waits up to timeoutMs for the child; returns its exit status, or -1 after killing it.
int reap(pid_t pid, int timeoutMs)
{
    const auto t0 = Clock::now();
    int status = 0;
    while (msSince(t0) < timeoutMs) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

} // namespace

int main(int argc, char **argv)
{
    int settleMs = 2000;
    int intervalMs = 2;
    int first = 1;
    for (; first < argc; ++first) {
        std::string arg = argv[first];
        if (arg == "--settle-ms" && first + 1 < argc)
            settleMs = std::atoi(argv[++first]);
        else if (arg == "--interval-ms" && first + 1 < argc)
            intervalMs = std::atoi(argv[++first]);
        else if (arg == "--") {
            ++first;
            break;
        } else
            break;
    }
    if (first >= argc)
        fail("usage: first_paint [--settle-ms N] [--interval-ms N] -- program [arguments...]");

    Display *dpy = XOpenDisplay(nullptr);
    if (!dpy)
        fail("cannot open the X display");
    XSetErrorHandler(ignoreXError);
    if (!XShmQueryExtension(dpy))
        fail("the X server has no MIT-SHM");
    // Keep the pointer off the window so that no tooltip or hover state joins the picture.
    XWarpPointer(dpy, None, DefaultRootWindow(dpy), 0, 0, 0, 0, 0, 0);
    XSync(dpy, False);

    const auto t0 = Clock::now();
    const pid_t pid = fork();
    if (pid < 0)
        fail("fork failed");
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        execvp(argv[first], argv + first);
        std::perror("first_paint: exec");
        _exit(127);
    }

    // 1. Wait for the program's window to be viewable.
    Window window = 0;
    double mapMs = -1;
    std::vector<Window> candidates; // kept across polls: once framed, a window leaves the root
    while (msSince(t0) < 20000) {
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid)
            fail("the program ended before showing a window");
        std::vector<Window> seen;
        rootChildrenOf(dpy, pid, seen);
        for (Window w : clientList(dpy))
            if (windowPid(dpy, w) == pid)
                seen.push_back(w);
        for (Window w : seen)
            if (std::find(candidates.begin(), candidates.end(), w) == candidates.end())
                candidates.push_back(w);
        for (Window w : candidates) {
            XWindowAttributes attrs;
            // The main window, not a 1x1 helper window Qt may map for itself.
            if (XGetWindowAttributes(dpy, w, &attrs) && attrs.map_state == IsViewable && attrs.width >= 100) {
                window = w;
                mapMs = msSince(t0);
            }
        }
        if (window)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
    }
    if (!window) {
        std::fprintf(stderr, "first_paint: %s (pid %d) showed no window within 20 s\n", argv[first], int(pid));
        describeThreads(pid);
        kill(pid, SIGKILL);
        reap(pid, 1000);
        fail("no window within 20 s");
    }

    // 2. Grab the window until the settle time is over, keeping each distinct picture.
    XWindowAttributes attrs;
    XGetWindowAttributes(dpy, window, &attrs);
    XShmSegmentInfo shm{};
    XImage *image = XShmCreateImage(dpy, attrs.visual, static_cast<unsigned>(attrs.depth), ZPixmap, nullptr, &shm,
                                    static_cast<unsigned>(attrs.width), static_cast<unsigned>(attrs.height));
    if (!image)
        fail("XShmCreateImage failed");
    shm.shmid = shmget(IPC_PRIVATE, static_cast<size_t>(image->bytes_per_line) * image->height, IPC_CREAT | 0600);
    shm.shmaddr = image->data = static_cast<char *>(shmat(shm.shmid, nullptr, 0));
    shm.readOnly = False;
    XShmAttach(dpy, &shm);
    shmctl(shm.shmid, IPC_RMID, nullptr);

    struct Picture {
        double ms;
        std::vector<unsigned> grid;
    };
    std::vector<Picture> pictures;
    const double settleEnd = mapMs + settleMs;
    while (msSince(t0) < settleEnd) {
        const double at = msSince(t0);
        if (XShmGetImage(dpy, window, image, 0, 0, AllPlanes)) {
            auto grid = sample(image);
            if (pictures.empty() || grid != pictures.back().grid)
                pictures.push_back({at, std::move(grid)});
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
    }
    const long rss = rssKib(pid);
    XShmDetach(dpy, &shm);
    XDestroyImage(image);
    shmdt(shm.shmaddr);

    double paintMs = -1;
    double unpainted = 0;
    if (!pictures.empty()) {
        const auto &last = pictures.back().grid;
        unpainted = matchShare(pictures.front().grid, last);
        for (const auto &p : pictures)
            if (matchShare(p.grid, last) >= 0.99) {
                paintMs = p.ms;
                break;
            }
    }

    // 3. Close it the way a user would, and wait for a clean exit.
    requestClose(dpy, window);
    const int exitStatus = reap(pid, 10000);
    XCloseDisplay(dpy);

    const auto launchUs = std::chrono::duration_cast<std::chrono::microseconds>(t0.time_since_epoch()).count();
    std::printf("map_ms=%.1f paint_ms=%.1f rss_kib=%ld exit=%d unpainted_match=%.3f pictures=%zu launch_us=%lld\n",
                mapMs, paintMs, rss, exitStatus, unpainted, pictures.size(), static_cast<long long>(launchUs));
    return paintMs < 0 ? 1 : 0;
}
