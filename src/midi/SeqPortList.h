#pragma once
// The sequencer's port list, read the same way by the arranger's port and by
// seqprobe. Only files that speak ALSA anyway include this.
#include "midi/SeqPortInfo.h"

#include <alsa/asoundlib.h>
#include <vector>

// Every port of every client of the open sequencer `seq`, the system client's
// and the caller's own included, client by client in the sequencer's order.
inline std::vector<SeqPortInfo> listSeqPorts(snd_seq_t* seq)
{
    std::vector<SeqPortInfo> ports;
    if (!seq) return ports;
    snd_seq_client_info_t* cinfo;
    snd_seq_port_info_t* pinfo;
    snd_seq_client_info_alloca(&cinfo);
    snd_seq_port_info_alloca(&pinfo);
    snd_seq_client_info_set_client(cinfo, -1);
    while (snd_seq_query_next_client(seq, cinfo) >= 0) {
        snd_seq_port_info_set_client(pinfo, snd_seq_client_info_get_client(cinfo));
        snd_seq_port_info_set_port(pinfo, -1);
        while (snd_seq_query_next_port(seq, pinfo) >= 0) {
            SeqPortInfo p;
            p.client = snd_seq_port_info_get_client(pinfo);
            p.port = snd_seq_port_info_get_port(pinfo);
            p.clientName = snd_seq_client_info_get_name(cinfo);
            p.portName = snd_seq_port_info_get_name(pinfo);
            p.capability = snd_seq_port_info_get_capability(pinfo);
            p.type = snd_seq_port_info_get_type(pinfo);
            ports.push_back(std::move(p));
        }
    }
    return ports;
}
