// veltrona-remote: started beside the arranger in its working directory, it
// serves the musician's phone page on the port of config.txt's "remote:" line.
#include "ArrangerLink.h"
#include "Guard.h"
#include "Server.h"
#include "base/Text.h"

#include <csignal>
#include <fstream>
#include <iostream>
#include <pthread.h>

namespace {
struct RemoteConfig {
    std::string port; // "" without a remote: line
    std::string pin;
    bool hasPin = false;
};

// config.txt as the arranger reads it: "#" comments, keywords in any case,
// the last line of a kind counts.
bool readConfig(RemoteConfig& config)
{
    std::ifstream in("config.txt");
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        line.resize(std::min(line.find('#'), line.size()));
        const std::string l = vtn::toLower(vtn::trimView(line));
        const size_t colon = l.find(':');
        if (colon == std::string::npos) continue;
        const std::string key = vtn::trim(std::string_view(l).substr(0, colon));
        const std::string value = vtn::trim(std::string_view(vtn::trim(line)).substr(colon + 1));
        if (key == "remote") config.port = value;
        else if (key == "remotepin") {
            config.pin = value;
            config.hasPin = true;
        }
    }
    return true;
}

bool allDigits(const std::string& s, size_t min, size_t max)
{
    if (s.size() < min || s.size() > max) return false;
    for (const char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}
} // namespace

int main()
{
    RemoteConfig config;
    if (!readConfig(config)) {
        std::cout << "Remote: no config.txt in this folder (start it in the arranger's working directory)" << std::endl;
        return 1;
    }
    if (config.port.empty()) {
        std::cout << "Remote: off (config.txt has no remote: line)" << std::endl;
        return 0;
    }
    const long port = allDigits(config.port, 1, 5) ? vtn::decimalValue(config.port) : 0;
    if (port < 1 || port > 65535) {
        std::cout << "Remote: the remote: line needs a port number from 1 to 65535" << std::endl;
        return 1;
    }
    if (!allDigits(config.pin, 4, 12)) {
        std::cout << "Remote: config.txt needs a remotepin: line of 4 to 12 digits" << std::endl;
        return 1;
    }

    // The signals are taken by this thread alone; every thread started below inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    remote::Guard guard(config.pin);
    remote::Server server(guard, static_cast<int>(port));
    const std::string error = server.start();
    if (!error.empty()) {
        std::cout << "Remote: " << error << std::endl;
        return 1;
    }
    std::cout << "Remote: serving http://<this board>:" << port << "/" << std::endl;
    remote::StatusStream stream([&server](const std::string& line) { server.arrangerLine(line); },
                                [&server](bool up) {
                                    std::cout << (up ? "Remote: arranger connected" : "Remote: arranger not connected (veltrona.sock)")
                                              << std::endl;
                                    server.arrangerState(up);
                                });
    int signal = 0;
    sigwait(&stopSignals, &signal);
    stream.stop();
    server.stop();
    std::cout << "Remote: stopped" << std::endl;
    return 0;
}
