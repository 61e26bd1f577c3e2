#include "app/CControlSocket.h"

#include "base/CLockGuard.h"
#include "base/MessageSink.h"
#include "base/PassedDescriptors.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

namespace {

int64_t nowMs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1'000'000;
}

bool fillAddress(sockaddr_un& address, const std::string& path)
{
    address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.data(), path.size());
    return true;
}

// True when an arranger answers at `path`.
bool inUse(const sockaddr_un& address)
{
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return false;
    const bool answered = connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    return answered;
}

void closeFd(int& fd)
{
    if (fd >= 0) ::close(fd);
    fd = -1;
}

} // namespace

bool CControlSocket::open(const std::string& path)
{
    if (running) return true;
    sockaddr_un address;
    if (!fillAddress(address, path)) {
        vtn::printLine("Control socket not opened: the path is too long: " + path);
        return false;
    }
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode)) {
            vtn::printLine("Control socket not opened: " + path + " exists and is no socket");
            return false;
        }
        if (inUse(address)) {
            vtn::printLine("Control socket not opened: another arranger answers at " + path);
            return false;
        }
        ::unlink(path.c_str());
    }
    listener = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    commandEvent = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    wakeEvent = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    bool ok = listener >= 0 && commandEvent >= 0 && wakeEvent >= 0 &&
              bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    // Only the arranger's own user (and the display, run as that user) may
    // connect; set before anyone can, as nothing listens yet.
    ok = ok && chmod(path.c_str(), 0600) == 0 && listen(listener, 16) == 0;
    if (ok) {
        socketPath = path;
        stopping = false;
        ok = pthread_create(&thread, nullptr, &CControlSocket::serveThread, this) == 0;
        if (!ok) ::unlink(path.c_str());
    }
    if (!ok) {
        vtn::printLine("Control socket not opened: " + path + ": " + std::strerror(errno));
        closeFd(listener);
        closeFd(commandEvent);
        closeFd(wakeEvent);
        return false;
    }
    running = true;
    return true;
}

void CControlSocket::close()
{
    if (!running) return;
    {
        CLockGuard guard(mutex);
        stopping = true;
    }
    wake(wakeEvent);
    pthread_join(thread, nullptr);
    running = false;
    for (Client& client : clients) dropClient(client);
    clients.clear();
    CLockGuard guard(mutex);
    for (ControlCommand& command : commands) closeFd(command.fd);
    commands.clear();
    for (Outgoing& outgoing : outbox) closeFd(outgoing.fd);
    outbox.clear();
    closeFd(listener);
    closeFd(commandEvent);
    closeFd(wakeEvent);
    ::unlink(socketPath.c_str());
}

bool CControlSocket::takeCommand(ControlCommand& command)
{
    CLockGuard guard(mutex);
    if (commands.empty()) {
        uint64_t count = 0;
        // Cleared under the lock, so a line posted meanwhile signals anew.
        if (commandEvent >= 0 && ::read(commandEvent, &count, sizeof count) < 0) count = 0;
        return false;
    }
    command = std::move(commands.front());
    commands.pop_front();
    return true;
}

void CControlSocket::reply(int client, std::string text, int fd) { post({client, std::move(text), fd, true}); }

void CControlSocket::broadcast(std::string text) { post({-1, std::move(text), -1, false}); }

void CControlSocket::publishStatus(std::string line)
{
    {
        CLockGuard guard(mutex);
        if (line == status) return;
        status = line;
    }
    broadcast(std::move(line));
}

void CControlSocket::setTicker(void (*tick)(void*), void* context, int intervalMs)
{
    {
        CLockGuard guard(mutex);
        ticker = tick;
        tickerContext = context;
        tickMs = std::max(0, intervalMs);
    }
    wake(wakeEvent);
}

int CControlSocket::clientCount() const
{
    CLockGuard guard(mutex);
    return connected;
}

void CControlSocket::post(Outgoing outgoing)
{
    {
        CLockGuard guard(mutex);
        if (!running || stopping) {
            closeFd(outgoing.fd);
            return;
        }
        outbox.push_back(std::move(outgoing));
    }
    wake(wakeEvent);
}

void CControlSocket::wake(int fd)
{
    const uint64_t one = 1;
    if (fd >= 0 && ::write(fd, &one, sizeof one) < 0) {
        // The counter is full: the other side is awake anyway.
    }
}

void* CControlSocket::serveThread(void* self)
{
    static_cast<CControlSocket*>(self)->serve();
    return nullptr;
}

void CControlSocket::serve()
{
    std::vector<pollfd> fds;
    int64_t nextTick = 0;
    for (;;) {
        void (*tick)(void*) = nullptr;
        void* context = nullptr;
        int interval = 0;
        std::vector<Outgoing> posted;
        {
            CLockGuard guard(mutex);
            if (stopping) return;
            posted.swap(outbox);
            tick = ticker;
            context = tickerContext;
            interval = tickMs;
        }
        for (Outgoing& outgoing : posted) {
            bool delivered = false;
            for (Client& client : clients) {
                if (outgoing.client != -1 && client.id != outgoing.client) continue;
                if (outgoing.answers && client.waiting > 0) --client.waiting;
                queue(client, outgoing.client == -1 ? outgoing.text : std::move(outgoing.text), outgoing.fd);
                outgoing.fd = -1;
                delivered = true;
                if (outgoing.client != -1) break;
            }
            if (!delivered) closeFd(outgoing.fd);
        }
        const int64_t now = nowMs();
        bool anyWaiting = false;
        for (Client& client : clients) {
            writeClient(client);
            if (client.output.empty()) client.lastProgressMs = now;
            else if (now - client.lastProgressMs > kStuckMs) dropClient(client);
            else anyWaiting = true;
        }
        clients.erase(std::remove_if(clients.begin(), clients.end(), [](const Client& c) { return c.fd < 0; }),
                      clients.end());
        {
            CLockGuard guard(mutex);
            connected = static_cast<int>(clients.size());
        }

        fds.clear();
        fds.push_back({wakeEvent, POLLIN, 0});
        fds.push_back({listener, static_cast<short>(clients.size() < kMaxClients ? POLLIN : 0), 0});
        for (const Client& client : clients) {
            short events = client.closing ? 0 : POLLIN;
            if (!client.output.empty()) events = static_cast<short>(events | POLLOUT);
            fds.push_back({client.fd, events, 0});
        }
        // A client with output waiting is looked at again within a second.
        int timeout = anyWaiting ? 1000 : -1;
        if (tick && interval > 0) {
            if (nextTick == 0 || nextTick - now > interval) nextTick = now + interval;
            const int untilTick = static_cast<int>(std::max<int64_t>(0, nextTick - now));
            timeout = timeout < 0 ? untilTick : std::min(timeout, untilTick);
        }
        const int n = poll(fds.data(), static_cast<nfds_t>(fds.size()), timeout);
        if (n < 0 && errno != EINTR) return;
        if (tick && interval > 0 && nowMs() >= nextTick) {
            nextTick = nowMs() + interval;
            tick(context);
        }
        if (n <= 0) continue;
        if (fds[0].revents & POLLIN) {
            uint64_t count = 0;
            if (::read(wakeEvent, &count, sizeof count) < 0) count = 0;
        }
        // Clients accepted now have no slot in fds: they are polled next round.
        const size_t polled = fds.size() - 2;
        for (size_t k = 0; k < polled && k < clients.size(); ++k) {
            Client& client = clients[k];
            const short revents = fds[k + 2].revents;
            if (client.fd < 0 || client.fd != fds[k + 2].fd) continue;
            if (revents & (POLLERR | POLLNVAL)) {
                dropClient(client);
                continue;
            }
            if (revents & (POLLIN | POLLHUP)) readClient(client);
        }
        if (fds[1].revents & POLLIN) acceptClients();
    }
}

void CControlSocket::acceptClients()
{
    while (clients.size() < kMaxClients) {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        Client client;
        client.fd = fd;
        client.id = nextId++;
        client.lastProgressMs = nowMs();
        std::string snapshot;
        {
            CLockGuard guard(mutex);
            snapshot = status;
        }
        clients.push_back(std::move(client));
        if (!snapshot.empty()) queue(clients.back(), std::move(snapshot), -1);
    }
}

void CControlSocket::readClient(Client& client)
{
    char buffer[4096];
    const ssize_t got = vtn::receiveWithDescriptors(client.fd, buffer, sizeof buffer, MSG_DONTWAIT, [&client](int fd) {
        // One descriptor goes with the next line; any more are closed.
        if (client.pendingFd < 0) client.pendingFd = fd;
        else ::close(fd);
    });
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (got <= 0) {
        dropClient(client);
        return;
    }
    size_t start = 0;
    for (size_t k = 0; k < static_cast<size_t>(got) && !client.closing; ++k) {
        if (buffer[k] != '\n') continue;
        client.input.append(buffer + start, k - start);
        start = k + 1;
        if (client.input.size() > kMaxLine) break;
        takeLine(client, std::move(client.input));
        client.input.clear();
    }
    if (!client.closing) client.input.append(buffer + start, static_cast<size_t>(got) - start);
    if (!client.closing && client.input.size() > kMaxLine) {
        // Never kept whole, never carried out in pieces.
        client.input.clear();
        queue(client, "R Line too long\nR Ready\n", -1);
        client.closing = true;
    }
}

void CControlSocket::takeLine(Client& client, std::string line)
{
    const int fd = client.pendingFd;
    client.pendingFd = -1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (client.waiting >= kMaxWaiting) {
        int passed = fd;
        closeFd(passed);
        queue(client, "R Busy: " + std::to_string(kMaxWaiting) + " lines wait already\nR Ready\n", -1);
        return;
    }
    ++client.waiting;
    {
        CLockGuard guard(mutex);
        commands.push_back({client.id, std::move(line), fd});
    }
    wake(commandEvent);
}

void CControlSocket::queue(Client& client, std::string text, int fd)
{
    if (client.fd < 0) {
        closeFd(fd);
        return;
    }
    client.unread += text.size();
    client.output.push_back({std::move(text), 0, fd});
    if (client.unread > kMaxUnread) dropClient(client);
}

void CControlSocket::writeClient(Client& client)
{
    while (client.fd >= 0 && !client.output.empty()) {
        Chunk& chunk = client.output.front();
        // The descriptor travels with the first byte of its line.
        const ssize_t sent = vtn::sendWithDescriptor(client.fd, chunk.text.data() + chunk.sent,
                                                     chunk.text.size() - chunk.sent, chunk.fd, MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EAGAIN || errno == EINTR) return;
            dropClient(client);
            return;
        }
        closeFd(chunk.fd);
        chunk.sent += static_cast<size_t>(sent);
        client.unread -= static_cast<size_t>(sent);
        if (sent > 0) client.lastProgressMs = nowMs();
        if (chunk.sent < chunk.text.size()) return;
        client.output.pop_front();
    }
    if (client.fd >= 0 && client.closing && client.output.empty()) dropClient(client);
}

void CControlSocket::dropClient(Client& client)
{
    closeFd(client.fd);
    closeFd(client.pendingFd);
    for (Chunk& chunk : client.output) closeFd(chunk.fd);
    client.output.clear();
    client.unread = 0;
}
