#pragma once
// The web side: civetweb serves the page, its API and the /live WebSocket,
// which relays the arranger's status and display requests to every page.
#include "Guard.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>

struct mg_context;
struct mg_connection;

namespace remote {

class Server {
public:
    Server(Guard& guard, int port) : guard_(guard), port_(port) {}
    ~Server();
    // "" when serving, else why not.
    std::string start();
    void stop();

    // From the standing connection to the arranger.
    void arrangerLine(const std::string& line);
    void arrangerState(bool connected);

private:
    static int onRequest(mg_connection* conn, void* self);
    static int onWsConnect(const mg_connection* conn, void* self);
    static void onWsReady(mg_connection* conn, void* self);
    static int onWsData(mg_connection* conn, int bits, char* data, size_t length, void* self);
    static void onWsClose(const mg_connection* conn, void* self);

    int request(mg_connection* conn);
    int api(mg_connection* conn, const std::string& method, const std::string& path);
    bool signedIn(const mg_connection* conn);
    void broadcastLoop();
    void queue(std::string message);
    void send(mg_connection* conn, const std::string& message);

    Guard& guard_;
    const int port_;
    mg_context* context_ = nullptr;

    // The outbox has its own lock, so a slow page never holds up the reader
    // of the arranger's socket; the pages' lock is held while writing to them.
    std::mutex mutex_; // guards the outbox, lastStatus_, arrangerUp_, stopping_
    std::condition_variable wake_;
    std::deque<std::string> outbox_;
    std::string lastStatus_;
    std::mutex pagesMutex_;
    std::set<mg_connection*> pages_;
    bool arrangerUp_ = false;
    bool stopping_ = false;
    std::thread broadcaster_;
};

} // namespace remote
