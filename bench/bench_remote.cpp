// The arranger's style timing while its display is busy: an arranger in
// this process (its console lines taken as the command loop takes them) with
// its control socket, the real veltrona-remote beside it, and the demo
// style's Main A timed from the capture (StyleTiming.h) in three rows: the
// remote idle; 50 page requests a second; a flood of requests, then the
// remote killed (SIGKILL) and started again. After each row the console must
// still answer and the remote must be connected to the arranger again; the
// program fails (exit status 1) when either is not so. Timing is printed,
// never judged.
//
// Arguments: [seconds of music per row, default 20] [--check: one short row
// each, as the test suite runs it]
#include "app/CApplication.h"
#include "app/CControlSocket.h"
#include "base/MessageSink.h"

#include "StyleTiming.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

const char* const kPin = "2468";

int freePort()
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
    close(s);
    return ntohs(a.sin_port);
}

// One request on a connection of its own; the whole response, "" when none.
std::string request(int port, const std::string& text)
{
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string response;
    timeval limit{5, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        send(s, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size())) {
        char buffer[16384];
        for (ssize_t n; (n = recv(s, buffer, sizeof buffer, 0)) > 0;) response.append(buffer, static_cast<size_t>(n));
    }
    close(s);
    return response;
}

std::string get(int port, const std::string& path, const std::string& cookie)
{
    return request(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\nCookie: " + cookie +
                             "\r\nConnection: close\r\n\r\n");
}

// The session cookie of a login, "" when refused.
std::string logIn(int port)
{
    const std::string body = std::string("pin=") + kPin;
    const std::string r = request(port, "POST /login HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                            "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                                            std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    const size_t at = r.find("Set-Cookie: ");
    if (at == std::string::npos) return "";
    return r.substr(at + 12, r.find(';', at) - at - 12);
}

struct Remote {
    int pid = -1;
    std::string log;
    void start(const std::string& dir)
    {
        pid = fork();
        if (pid == 0) {
            if (chdir(dir.c_str()) != 0) _exit(127);
            const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(out, 1);
            dup2(out, 2);
            execl(VTN_REMOTE_BIN, "veltrona-remote", static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    void kill(int sig)
    {
        if (pid <= 0) return;
        ::kill(pid, sig);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
    long residentKb() const
    {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
        return -1;
    }
};

// Waits until the remote answers a login and the arranger counts it as a
// client; the cookie of that login.
std::string awaitRemote(int port, CApplication& app)
{
    for (int k = 0; k < 200; ++k) {
        const std::string cookie = logIn(port);
        if (!cookie.empty() && app.remote->clientCount() > 0) return cookie;
        styletiming::sleepSeconds(0.05);
    }
    return "";
}

// Whether the response says the request was served (2xx).
bool served(const std::string& response) { return response.size() > 12 && response.compare(9, 1, "2") == 0; }

} // namespace

int main(int argc, char** argv)
{
    double seconds = 20;
    for (int k = 1; k < argc; ++k) seconds = std::strcmp(argv[k], "--check") == 0 ? 3 : std::atof(argv[k]);
    if (seconds <= 0) seconds = 20;
    std::signal(SIGPIPE, SIG_IGN);

    const std::string dir = std::filesystem::temp_directory_path() / ("vtn-bench-remote-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir + "/Styles");
    const std::string tool = VTN_TOOL_BIN;
    if (std::system((tool + " style-write " VTN_DEMO_DIR "/style-sources/DemoPop.json " + dir + "/Styles/DemoPop.sty >/dev/null").c_str()) != 0) {
        std::printf("the demo style could not be written\n");
        return 1;
    }
    const int port = freePort();
    std::ofstream(dir + "/config.txt") << "stylefiles: Styles\nremote: " << port << "\nremotepin: " << kPin << "\n";
    const std::string home = std::filesystem::current_path();
    if (chdir(dir.c_str()) != 0) return 1;

    auto app = std::make_unique<CApplication>();
    {
        vtn::CMessageCapture quiet;
        app->startUp();
        app->engine->port->simulatePorts({{128, 0, "Synth", "Synth Port", 0x42}});
        app->engine->port->connectOutput("synth");
        app->command("DemoPop.sty");
        app->engine->enterLiveMode();
    }
    app->engine->port->capture.enable(true);
    if (!app->remote) {
        std::printf("the control socket did not open\n");
        return 1;
    }
    // The console thread's part of the socket, as the command loop does it.
    std::atomic<bool> stop{false};
    std::thread console([&] {
        while (!stop) {
            pollfd p{app->remote->commandFd(), POLLIN, 0};
            if (poll(&p, 1, 20) > 0) app->serveRemote();
        }
    });

    Remote remote;
    remote.log = dir + "/remote.log";
    remote.start(dir);
    std::string cookie = awaitRemote(port, *app);
    int failures = cookie.empty() ? 1 : 0;
    if (cookie.empty()) std::printf("the remote did not serve\n");

    std::printf("Style timing while the display is busy: DemoPop Main A at 120 BPM, %.0f s per row, capture on "
                "(simulated synth), real-time priority %s\n\n",
                seconds, realTimeAllowed() ? "granted" : "refused");
    std::printf("%-44s %6s %8s %8s %8s %9s\n", "row", "msgs", "p50 us", "p99 us", "max us", "requests");
    const std::string page[] = {"/", "/api/styles", "/api/session", "/api/recordings"};
    auto row = [&](const char* name, const std::function<long(double)>& load) {
        long answered = 0;
        const styletiming::Row r = styletiming::timeStyle(app->engine, 120, seconds, [&](double s) { answered = load(s); });
        std::printf("%-44s %6zu %8.0f %8.0f %8.0f %9ld\n", name, r.matched, r.error.p50, r.error.p99, r.error.max, answered);
        std::fflush(stdout);
        // The console answers as before, and the display is there again.
        std::string status;
        {
            vtn::CThreadMessageCapture capture;
            app->command("status");
            status = capture.take();
        }
        if (status.rfind("Status: style DemoPop.sty", 0) != 0) {
            std::printf("  the console did not answer: %s\n", status.c_str());
            ++failures;
        }
        cookie = awaitRemote(port, *app);
        if (cookie.empty()) {
            std::printf("  the remote is not connected to the arranger again\n");
            ++failures;
        }
    };

    row("remote idle", [](double s) {
        styletiming::sleepSeconds(s);
        return 0L;
    });
    long rss = remote.residentKb();
    row("50 page requests a second", [&](double s) {
        long answered = 0;
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(s);
        auto next = std::chrono::steady_clock::now();
        for (int k = 0; std::chrono::steady_clock::now() < end; ++k) {
            if (served(get(port, page[k % 4], cookie))) ++answered;
            next += std::chrono::milliseconds(20);
            std::this_thread::sleep_until(next);
        }
        return answered;
    });
    rss = std::max(rss, remote.residentKb());
    row("flood (4 clients), remote killed, restarted", [&](double s) {
        std::atomic<long> answered{0};
        std::atomic<bool> flooding{true};
        std::vector<std::thread> flood;
        for (int t = 0; t < 4; ++t)
            flood.emplace_back([&, t] {
                for (int k = t; flooding; ++k)
                    if (served(get(port, page[k % 4], cookie))) ++answered;
            });
        styletiming::sleepSeconds(s / 2);
        rss = std::max(rss, remote.residentKb());
        remote.kill(SIGKILL);
        styletiming::sleepSeconds(s / 4);
        remote.start(dir);
        styletiming::sleepSeconds(s / 4);
        flooding = false;
        for (std::thread& f : flood) f.join();
        return answered.load();
    });
    std::printf("\nremote resident memory while serving: %ld kB\n", rss);

    remote.kill(SIGTERM);
    stop = true;
    console.join();
    {
        vtn::CMessageCapture quiet;
        app.reset();
    }
    if (chdir(home.c_str()) != 0) return 1;
    std::filesystem::remove_all(dir);
    std::printf("%s\n", failures ? "FAILED: see above" : "console answered and the remote reconnected after every row");
    return failures ? 1 : 0;
}
