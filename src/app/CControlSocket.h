#pragma once
// The arranger's control socket: a local stream socket through which a
// program of the board (the phone display) sends console lines and receives
// their replies and what changed. One thread of its own serves every client
// with non-blocking I/O, so no client is ever waited for: one that falls too
// far behind in reading is dropped. The lines themselves are carried out on
// the console thread, which polls commandFd() beside standard input.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <pthread.h>
#include <string>
#include <vector>

struct ControlCommand {
    int client = 0;   // who is answered
    std::string line; // without its newline
    int fd = -1;      // a descriptor passed with the line; the taker closes it
};

class CControlSocket {
public:
    // Longest line taken; a longer one is answered and its client dropped.
    static constexpr size_t kMaxLine = 1024;
    // Output a client may leave unread before it is dropped.
    static constexpr size_t kMaxUnread = size_t{1} << 20;
    static constexpr int kMaxClients = 32;
    // Lines of one client waiting for the console thread; more are refused.
    static constexpr int kMaxWaiting = 8;
    // A client that takes none of its output for this long is dropped.
    static constexpr int kStuckMs = 5000;

    CControlSocket() = default;
    ~CControlSocket() { close(); }
    CControlSocket(const CControlSocket&) = delete;
    CControlSocket& operator=(const CControlSocket&) = delete;

    // Listens at `path` (a socket left by an arranger that ended is replaced,
    // one in use or any other file is not) and starts serving; false, with
    // one line printed, when it cannot.
    bool open(const std::string& path);
    // Ends serving, drops every client and removes the socket.
    void close();
    bool isOpen() const { return running; }

    // Readable while lines wait to be carried out.
    int commandFd() const { return commandEvent; }
    bool takeCommand(ControlCommand& command);

    // Sends `text` (whole lines) to one client, and with it the descriptor
    // `fd` unless it is -1; the descriptor is closed here in every case.
    void reply(int client, std::string text, int fd = -1);
    // Sends `text` to every client.
    void broadcast(std::string text);
    // The status line: sent to every client when it differs from the last
    // one, and to each client as it connects.
    void publishStatus(std::string line);

    // `tick` runs on the serving thread every `intervalMs` (0: never), to
    // follow what moves without an event (a song's bar).
    void setTicker(void (*tick)(void* context), void* context, int intervalMs);

    int clientCount() const;

private:
    struct Chunk {
        std::string text;
        size_t sent = 0;
        int fd = -1;
    };
    struct Client {
        int fd = -1;
        int id = 0;
        std::string input;
        int pendingFd = -1; // passed with a line not yet complete
        std::deque<Chunk> output;
        size_t unread = 0;
        int64_t lastProgressMs = 0; // output last taken, or none waiting
        int waiting = 0;      // lines handed to the console thread, not yet answered
        bool closing = false; // drop once the output is out
    };
    struct Outgoing {
        int client = 0; // -1: every client
        std::string text;
        int fd = -1;
        bool answers = false; // ends the reply to one waiting line
    };

    static void* serveThread(void* self);
    void serve();
    void acceptClients();
    void readClient(Client& client);
    void takeLine(Client& client, std::string line);
    void writeClient(Client& client);
    void queue(Client& client, std::string text, int fd);
    void dropClient(Client& client);
    void wake(int fd);
    void post(Outgoing outgoing);

    std::string socketPath;
    int listener = -1;
    int commandEvent = -1; // console thread: lines wait
    int wakeEvent = -1;    // serving thread: output waits, or stop
    bool running = false;
    pthread_t thread{};

    mutable pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    // Under mutex:
    std::deque<ControlCommand> commands;
    std::vector<Outgoing> outbox;
    std::string status;
    bool stopping = false;
    void (*ticker)(void*) = nullptr;
    void* tickerContext = nullptr;
    int tickMs = 0;
    int connected = 0;

    // The serving thread's own.
    std::vector<Client> clients;
    int nextId = 1;
};
