#include "Server.h"

#include "ArrangerLink.h"
#include "WebAssets.h"
#include "base/JsonText.h"
#include "base/Text.h"

#include <civetweb.h>

#include <cstring>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace remote {
namespace {
// On every response: the page loads nothing from elsewhere and cannot be framed.
constexpr const char* kSecurityHeaders =
    "Content-Security-Policy: default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
    "connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Referrer-Policy: no-referrer\r\n";
constexpr const char* kCookieName = "vtn_session";
// The arranger takes lines of up to 1024 bytes.
constexpr size_t kMaxLine = 1024;
constexpr long long kMaxStyleBytes = 16LL << 20;
constexpr long long kMaxSongBytes = 64LL << 20;
// Each open page holds one of civetweb's threads; the rest stay for requests.
constexpr size_t kMaxPages = 6;
// Messages waiting for the pages; a page that cannot keep up misses the oldest.
constexpr size_t kMaxOutbox = 256;

const char* reasonOf(int code)
{
    switch (code) {
    case 200: return "OK";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 411: return "Length Required";
    case 413: return "Payload Too Large";
    case 422: return "Unprocessable Entity";
    case 429: return "Too Many Requests";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    default: return "Error";
    }
}

int respond(mg_connection* conn, int code, std::string_view type, std::string_view body,
            const std::string& extra = std::string(), const char* cache = "no-store")
{
    std::string head = "HTTP/1.1 " + std::to_string(code) + " " + reasonOf(code) + "\r\n";
    if (!type.empty()) head += "Content-Type: " + std::string(type) + "\r\n";
    head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    head += kSecurityHeaders;
    head += std::string("Cache-Control: ") + cache + "\r\n";
    head += extra;
    head += "Connection: close\r\n\r\n";
    mg_write(conn, head.data(), head.size());
    if (!body.empty()) mg_write(conn, body.data(), body.size());
    return code;
}

int text(mg_connection* conn, int code, std::string_view message) { return respond(conn, code, "text/plain; charset=utf-8", std::string(message) + "\n"); }

std::string jsonLines(const std::vector<std::string>& lines)
{
    std::string out = "[";
    for (const std::string& l : lines) out += (out.size() > 1 ? "," : "") + vtn::jsonText(l);
    return out + "]";
}

// The arranger's own JSON, read for one boolean only.
bool jsonFlag(std::string_view json, std::string_view key)
{
    const size_t at = json.find("\"" + std::string(key) + "\"");
    if (at == std::string_view::npos) return false;
    size_t i = at + key.size() + 2;
    while (i < json.size() && (json[i] == ' ' || json[i] == ':')) ++i;
    return json.substr(i, 4) == "true";
}

std::string header(const mg_connection* conn, const char* name)
{
    const char* v = mg_get_header(conn, name);
    return v ? std::string(v) : std::string();
}

// A request from another site's page carries its own Origin.
bool sameOrigin(const mg_connection* conn, bool required)
{
    const std::string origin = header(conn, "Origin");
    if (origin.empty()) return !required;
    const std::string host = header(conn, "Host");
    return !host.empty() && origin == "http://" + host;
}

// A query parameter, decoded; empty when missing.
std::string param(const mg_connection* conn, const char* name)
{
    const char* query = mg_get_request_info(conn)->query_string;
    if (!query) return std::string();
    char buf[1024];
    const int n = mg_get_var(query, std::strlen(query), name, buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// A small body (a PIN, a command line); false when longer than limit.
bool readSmallBody(mg_connection* conn, size_t limit, std::string& body)
{
    const long long declared = mg_get_request_info(conn)->content_length;
    if (declared > static_cast<long long>(limit)) return false;
    char buf[1024];
    for (;;) {
        const int n = mg_read(conn, buf, sizeof buf);
        if (n <= 0) break;
        body.append(buf, static_cast<size_t>(n));
        if (body.size() > limit) return false;
    }
    return true;
}

bool endsWithAny(const std::string& lower, std::initializer_list<const char*> endings)
{
    for (const char* e : endings) {
        const size_t n = std::strlen(e);
        if (lower.size() > n && lower.compare(lower.size() - n, n, e) == 0) return true;
    }
    return false;
}

bool isStyleName(const std::string& name) { return endsWithAny(vtn::toLower(name), {".sty", ".prs", ".sst", ".bcs", ".fps"}); }
bool isSongName(const std::string& name) { return endsWithAny(vtn::toLower(name), {".mid", ".midi", ".kar"}); }

// "" when the page may send this console line, else why not. The musician's
// console may name any path; the network may only name files of the folders.
std::string refusedCommand(const std::string& line)
{
    if (line.empty() || line.size() > kMaxLine) return "A command is one line of 1 to 1024 bytes";
    for (const char c : line) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) return "A command is one line without control characters";
    }
    const std::string l = vtn::toLower(vtn::trimView(line));
    if (l.empty() || l[0] == '?') return "Not a console command";
    std::string name;
    if (vtn::startsWith(l, "play:"))
        name = vtn::trim(std::string_view(line).substr(line.find(':') + 1));
    else if (isStyleName(l) || isSongName(l))
        name = vtn::trim(line);
    if (!name.empty() && !isPlainFileName(name)) return "Only a file of the arranger's folders can be named";
    return std::string();
}

std::string percentEncoded(std::string_view s)
{
    std::string out;
    for (const char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if ((u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || c == '.' || c == '-' || c == '_') {
            out += c;
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", u);
            out += buf;
        }
    }
    return out;
}

int notConnected(mg_connection* conn) { return text(conn, 503, "The arranger is not connected"); }
} // namespace

Server::~Server() { stop(); }

std::string Server::start()
{
    mg_init_library(0);
    const std::string ports = (mg_check_feature(8) ? "+" : "") + std::to_string(port_);
    // Small requests, few threads, short timeouts: a flood waits in the
    // queue or is dropped, and the pages already open go on.
    const char* options[] = {"listening_ports", ports.c_str(),
                             "num_threads", "12",
                             "connection_queue", "32",
                             "max_request_size", "8192",
                             "request_timeout_ms", "5000",
                             "linger_timeout_ms", "500",
                             "enable_keep_alive", "no",
                             "websocket_timeout_ms", "30000",
                             "enable_websocket_ping_pong", "yes",
                             "additional_header", "X-Content-Type-Options: nosniff\r\nReferrer-Policy: no-referrer",
                             nullptr};
    mg_callbacks callbacks{};
    // civetweb's own complaints (a client gone mid-request) are no news on stage.
    callbacks.log_message = [](const mg_connection*, const char*) { return 1; };
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = false;
    }
    broadcaster_ = std::thread([this] { broadcastLoop(); });
    context_ = mg_start(&callbacks, this, options);
    if (!context_) {
        stop();
        return "cannot listen on port " + std::to_string(port_);
    }
    mg_set_request_handler(context_, "/", &Server::onRequest, this);
    mg_set_websocket_handler(context_, "/live", &Server::onWsConnect, &Server::onWsReady, &Server::onWsData,
                             &Server::onWsClose, this);
    return std::string();
}

void Server::stop()
{
    if (context_) {
        mg_stop(context_);
        context_ = nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (broadcaster_.joinable()) broadcaster_.join();
}

void Server::arrangerLine(const std::string& line)
{
    const std::string json = line.substr(2);
    if (line[0] == 'S') {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            lastStatus_ = json;
        }
        queue("{\"status\":" + json + "}");
    } else {
        queue("{\"event\":" + json + "}");
    }
}

void Server::arrangerState(bool connected)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        arrangerUp_ = connected;
        if (!connected) lastStatus_.clear();
    }
    queue(connected ? "{\"arranger\":true}" : "{\"arranger\":false}");
}

void Server::queue(std::string message)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (outbox_.size() >= kMaxOutbox) outbox_.pop_front();
        outbox_.push_back(std::move(message));
    }
    wake_.notify_one();
}

void Server::send(mg_connection* conn, const std::string& message)
{
    mg_lock_connection(conn);
    mg_websocket_write(conn, MG_WEBSOCKET_OPCODE_TEXT, message.data(), message.size());
    mg_unlock_connection(conn);
}

void Server::broadcastLoop()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !outbox_.empty(); });
        if (stopping_) return;
        std::deque<std::string> batch;
        batch.swap(outbox_);
        lock.unlock();
        {
            std::lock_guard<std::mutex> pages(pagesMutex_);
            for (const std::string& m : batch)
                for (mg_connection* c : pages_) send(c, m);
        }
        lock.lock();
    }
}

bool Server::signedIn(const mg_connection* conn)
{
    const char* cookies = mg_get_header(conn, "Cookie");
    if (!cookies) return false;
    char token[64];
    const int n = mg_get_cookie(cookies, kCookieName, token, sizeof token);
    return n > 0 && guard_.validSession(std::string_view(token, static_cast<size_t>(n)));
}

int Server::onRequest(mg_connection* conn, void* self) { return static_cast<Server*>(self)->request(conn); }

int Server::request(mg_connection* conn)
{
    const mg_request_info* info = mg_get_request_info(conn);
    const std::string method = info->request_method ? info->request_method : "";
    const std::string path = info->local_uri ? info->local_uri : "";

    if (method == "GET") {
        for (const WebAsset& a : kWebAssets) {
            if (path != a.path) continue;
            const std::string_view body(reinterpret_cast<const char*>(a.data), a.size);
            return respond(conn, 200, a.type, body, std::string(), "no-cache");
        }
    }
    if (path == "/login") {
        if (method != "POST") return text(conn, 405, "Log in with POST");
        if (!sameOrigin(conn, false)) return text(conn, 403, "Wrong origin");
        std::string body;
        if (!readSmallBody(conn, 256, body)) return text(conn, 413, "Too long for a PIN");
        char pin[64] = "";
        if (mg_get_var(body.data(), body.size(), "pin", pin, sizeof pin) < 0) pin[0] = '\0';
        std::string token;
        int wait = 0;
        switch (guard_.login(info->remote_addr, pin, token, wait)) {
        case Guard::Login::ok:
            return respond(conn, 200, "text/plain; charset=utf-8", "Welcome\n",
                           "Set-Cookie: " + std::string(kCookieName) + "=" + token + "; HttpOnly; SameSite=Strict; Path=/\r\n");
        case Guard::Login::locked:
            return text(conn, 429, "Too many wrong PINs: try again in " + std::to_string(wait) + " s");
        case Guard::Login::wrong:
            break;
        }
        return text(conn, 403, "Wrong PIN");
    }
    if (vtn::startsWith(path, "/api/")) {
        if (!signedIn(conn)) return text(conn, 401, "Log in first");
        if (method != "GET" && !sameOrigin(conn, false)) return text(conn, 403, "Wrong origin");
        return api(conn, method, path);
    }
    return text(conn, 404, "No such page");
}

int Server::api(mg_connection* conn, const std::string& method, const std::string& path)
{
    if (path == "/api/session") return respond(conn, 204, "", "");

    if (path == "/api/command") {
        if (method != "POST") return text(conn, 405, "Send the line with POST");
        std::string line;
        if (!readSmallBody(conn, kMaxLine, line)) return text(conn, 413, "A command is at most 1024 bytes");
        if (!line.empty() && line.back() == '\n') line.pop_back();
        const std::string why = refusedCommand(line);
        if (!why.empty()) return text(conn, 400, why);
        const Answer a = ask(line);
        if (!a.answered) return notConnected(conn);
        return respond(conn, 200, "application/json", "{\"reply\":" + jsonLines(a.lines) + "}");
    }

    static const char* const lists[][2] = {
        {"/api/styles", "?styles"}, {"/api/songs", "?songs"}, {"/api/recordings", "?recordings"}, {"/api/lyrics", "?lyrics"}};
    for (const auto& l : lists) {
        if (path != l[0]) continue;
        if (method != "GET") return text(conn, 405, "Use GET");
        const Answer a = ask(l[1]);
        if (!a.answered) return notConnected(conn);
        if (a.json.empty()) return text(conn, 502, a.lines.empty() ? "The arranger gave no list" : a.lines.front());
        return respond(conn, 200, "application/json", a.json);
    }

    if (path == "/api/download") {
        if (method != "GET") return text(conn, 405, "Use GET");
        const std::string name = param(conn, "name");
        if (!isPlainFileName(name)) return text(conn, 400, "Not a plain file name");
        const Answer a = ask("?download " + name);
        if (!a.answered) return notConnected(conn);
        struct stat st {};
        if (!a.fd || fstat(a.fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
            return text(conn, 404, a.lines.empty() ? "No such file" : a.lines.front());
        std::string head = "HTTP/1.1 200 OK\r\nContent-Type: audio/midi\r\nContent-Length: " + std::to_string(st.st_size) +
                           "\r\nContent-Disposition: attachment; filename*=UTF-8''" + percentEncoded(name) + "\r\n" +
                           kSecurityHeaders + "Cache-Control: no-store\r\nConnection: close\r\n\r\n";
        mg_write(conn, head.data(), head.size());
        std::vector<char> buf(65536);
        off_t at = 0;
        while (at < st.st_size) {
            const ssize_t n = pread(a.fd.get(), buf.data(), buf.size(), at);
            if (n <= 0 || mg_write(conn, buf.data(), static_cast<size_t>(n)) <= 0) break;
            at += n;
        }
        return 200;
    }

    if (path == "/api/upload") {
        if (method != "POST") return text(conn, 405, "Send the file with POST");
        const std::string kind = param(conn, "kind");
        const std::string name = param(conn, "name");
        if (kind != "style" && kind != "song") return text(conn, 400, "kind is style or song");
        if (!isPlainFileName(name)) return text(conn, 400, "Not a plain file name");
        if (kind == "style" ? !isStyleName(name) : !isSongName(name))
            return text(conn, 400, kind == "style" ? "A style ends in .sty, .prs, .sst, .bcs or .fps"
                                                   : "A song ends in .mid, .midi or .kar");
        const long long size = mg_get_request_info(conn)->content_length;
        const long long limit = kind == "style" ? kMaxStyleBytes : kMaxSongBytes;
        if (size < 0) return text(conn, 411, "Send the file with its Content-Length");
        if (size == 0) return text(conn, 400, "The file is empty");
        if (size > limit) return text(conn, 413, std::string("Too large: at most ") + (kind == "style" ? "16" : "64") + " MiB");
        Fd memory(memfd_create("veltrona-upload", MFD_CLOEXEC));
        if (!memory) return text(conn, 503, "No memory for the file");
        std::vector<char> buf(65536); // civetweb's threads have small stacks
        long long got = 0;
        while (got < size) {
            const int n = mg_read(conn, buf.data(), buf.size());
            if (n <= 0) break;
            if (write(memory.get(), buf.data(), static_cast<size_t>(n)) != n) return text(conn, 503, "No memory for the file");
            got += n;
        }
        if (got != size) return text(conn, 400, "The file came incomplete");
        lseek(memory.get(), 0, SEEK_SET);
        const Answer a = ask("?upload " + kind + " " + name, memory.get(), std::chrono::seconds(15));
        if (!a.answered) return notConnected(conn);
        if (a.json.empty()) return respond(conn, 422, "application/json",
                                           "{\"ok\":false,\"message\":" + vtn::jsonText(a.lines.empty() ? "Refused" : a.lines.front()) + "}");
        return respond(conn, jsonFlag(a.json, "ok") ? 200 : 422, "application/json", a.json);
    }
    return text(conn, 404, "No such request");
}

int Server::onWsConnect(const mg_connection* conn, void* self)
{
    auto* s = static_cast<Server*>(self);
    const char* why = nullptr;
    if (!s->signedIn(conn))
        why = "Log in first";
    else if (!sameOrigin(conn, true))
        why = "Wrong origin";
    else {
        std::lock_guard<std::mutex> lock(s->pagesMutex_);
        if (s->pages_.size() >= kMaxPages) why = "Too many pages open";
    }
    if (!why) return 0;
    // civetweb only drops a refused handshake; the page deserves an answer.
    text(const_cast<mg_connection*>(conn), 403, why);
    return 1;
}

void Server::onWsReady(mg_connection* conn, void* self)
{
    auto* s = static_cast<Server*>(self);
    std::string hello;
    {
        std::lock_guard<std::mutex> lock(s->mutex_);
        hello = s->arrangerUp_ ? "{\"arranger\":true}" : "{\"arranger\":false}";
        if (!s->lastStatus_.empty()) hello = "{\"arranger\":true,\"status\":" + s->lastStatus_ + "}";
    }
    std::lock_guard<std::mutex> lock(s->pagesMutex_);
    s->send(conn, hello);
    s->pages_.insert(conn);
}

int Server::onWsData(mg_connection* conn, int bits, char* data, size_t length, void* self)
{
    auto* s = static_cast<Server*>(self);
    const int opcode = bits & 0xf;
    if (opcode == MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE) return 0;
    if (opcode != MG_WEBSOCKET_OPCODE_TEXT) return 1;
    const std::string line(data, length);
    std::string why = refusedCommand(line);
    std::string reply;
    if (why.empty()) {
        const Answer a = ask(line);
        reply = a.answered ? "{\"reply\":" + jsonLines(a.lines) + "}" : "{\"error\":\"The arranger is not connected\"}";
    } else {
        reply = "{\"error\":" + vtn::jsonText(why) + "}";
    }
    s->send(conn, reply);
    return 1;
}

void Server::onWsClose(const mg_connection* conn, void* self)
{
    auto* s = static_cast<Server*>(self);
    std::lock_guard<std::mutex> lock(s->pagesMutex_);
    s->pages_.erase(const_cast<mg_connection*>(conn));
}

} // namespace remote
