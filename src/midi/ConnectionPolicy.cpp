#include "midi/ConnectionPolicy.h"

#include "base/Text.h"

#include <algorithm>

namespace {
// The kernel's loop-back client; its number varies, its name does not.
constexpr std::string_view kMidiThrough = "Midi Through";

bool nameContains(const SeqPortInfo& p, std::string_view text)
{
    return vtn::toLower(p.fullName()).find(text) != std::string::npos;
}

bool listed(const std::vector<SeqAddress>& list, const SeqPortInfo& p)
{
    return std::find(list.begin(), list.end(), SeqAddress{p.client, p.port}) != list.end();
}

// A port that plays into the arranger and nothing else: what the empty text takes.
bool keyboardPort(const ConnectionState& s, const SeqPortInfo& p)
{
    return p.readable() && p.client != s.self && p.clientName != kMidiThrough && !listed(s.outputs, p);
}
} // namespace

bool takesInput(const ConnectionState& s, const SeqPortInfo& p)
{
    if (s.wantedInput.empty()) return keyboardPort(s, p);
    return p.readable() && p.client != s.self && nameContains(p, s.wantedInput);
}

std::vector<InputChoice> chooseInputs(const ConnectionState& s, const std::vector<SeqPortInfo>& ports)
{
    std::vector<InputChoice> chosen;
    InputChoice fallback;
    int index = -1;
    for (const SeqPortInfo& p : ports) {
        if (!p.readable()) continue;
        ++index;
        if (takesInput(s, p)) chosen.push_back({p, index});
        if (keyboardPort(s, p)) fallback = {p, index};
    }
    if (chosen.empty() && fallback.index >= 0) chosen.push_back(fallback);
    return chosen;
}

SeqAddress OutputChoice::address() const
{
    if (chosen < 0) return {};
    const SeqPortInfo& p = writable[static_cast<size_t>(chosen)];
    return {p.client, p.port};
}

OutputChoice chooseOutput(const std::vector<SeqPortInfo>& ports, std::string_view wanted)
{
    OutputChoice c;
    for (const SeqPortInfo& p : ports)
        if (p.writable()) c.writable.push_back(p);
    for (size_t i = 0; i < c.writable.size(); ++i)
        if (nameContains(c.writable[i], wanted)) c.matching.push_back(i);
    c.chosen = c.matches() ? static_cast<int>(c.matching.back()) : static_cast<int>(c.writable.size()) - 1;
    return c;
}

std::vector<SeqAddress> inputsToDrop(const ConnectionState& s)
{
    std::vector<SeqAddress> drop;
    if (!s.inputWanted || !s.wantedInput.empty()) return drop; // a named port stays as named
    for (const SeqAddress& a : s.inputs)
        if (std::find(s.outputs.begin(), s.outputs.end(), a) != s.outputs.end()) drop.push_back(a);
    return drop;
}

HotPlugEvent hotPlugEvent(int self, SeqAnnouncement what, int client, int port)
{
    HotPlugEvent e;
    if (client == 0 || client == self) return e;
    if (what == SeqAnnouncement::PortExit || what == SeqAnnouncement::ClientExit) {
        e.kind = HotPlugEvent::Left;
        e.gone = {client, what == SeqAnnouncement::PortExit ? port : -1};
        return e;
    }
    e.kind = HotPlugEvent::Arrived;
    return e;
}

ArrivalPlan arrivalPlan(const ConnectionState& s, const std::vector<SeqPortInfo>& ports, SeqAnnouncement what,
                        int client, int port)
{
    ArrivalPlan plan;
    auto announced = [&](const SeqPortInfo& p) {
        return p.client == client && (what == SeqAnnouncement::ClientChange || p.port == port);
    };
    // The first announced port that matches the wanted output brings it back;
    // from then on the arranger sends to whatever chooseOutput picks.
    ConnectionState after = s;
    size_t taker = ports.size();
    if (s.outputWanted && !s.outputMatches) {
        for (size_t i = 0; i < ports.size() && taker == ports.size(); ++i)
            if (announced(ports[i]) && ports[i].writable() && nameContains(ports[i], s.wantedOutput)) taker = i;
        plan.takeOutput = taker < ports.size();
        if (plan.takeOutput) after.outputs = {chooseOutput(ports, s.wantedOutput).address()};
    }
    for (size_t i = 0; i < ports.size(); ++i) {
        const SeqPortInfo& p = ports[i];
        if (!announced(p)) continue;
        if (s.inputWanted && takesInput(after, p) && !listed(s.inputs, p)) plan.inputs.push_back(p);
        if (i == taker) plan.outputAfter = plan.inputs.size();
    }
    return plan;
}
