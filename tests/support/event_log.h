#pragma once
// Writes down a peer's notifications that tests look at, one line each ("CreatePlayer 5",
// "ConnectComplete 0x0", "Receive 5 text", "ComingBack 3"), in the order they are delivered.

#include <algorithm>
#include <string>
#include <vector>

#include "platform/dx8/event_adapters.h"

namespace orvel::testing {

class EventLog : public dx8::DirectPlay8EventAdapter {
public:
    std::vector<std::string> lines;

    bool has(const std::string& line) const {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    // The player id a line names, after its first word.
    dx8::DPNID idIn(size_t line) const {
        return static_cast<dx8::DPNID>(std::stoul(lines.at(line).substr(lines[line].find(' '))));
    }

    void DirectPlay8Event_AsyncOpComplete(dx8::DPNMSG_ASYNC_OP_COMPLETE& m, bool&) override {
        add("AsyncOpComplete", m.hResultCode);
    }
    void DirectPlay8Event_ConnectComplete(dx8::DPNMSG_CONNECT_COMPLETE& m, bool&) override {
        add("ConnectComplete", m.hResultCode);
    }
    void DirectPlay8Event_CreatePlayer(dx8::DPNID id, bool&) override {
        lines.push_back("CreatePlayer " + std::to_string(id));
    }
    void DirectPlay8Event_DestroyPlayer(dx8::DPNID id, int32_t, bool&) override {
        lines.push_back("DestroyPlayer " + std::to_string(id));
    }
    void DirectPlay8Event_HostMigrate(dx8::DPNID id, bool&) override {
        lines.push_back("HostMigrate " + std::to_string(id));
    }
    void DirectPlay8Event_InfoNotify(int32_t msg, int32_t id, bool&) override {
        lines.push_back((msg == dx8::DPN_MSGID_COMING_BACK ? "ComingBack " : "InfoNotify ") +
                        std::to_string(static_cast<dx8::DPNID>(id)));
    }
    void DirectPlay8Event_IndicateConnect(dx8::DPNMSG_INDICATE_CONNECT&, bool&) override {
        lines.push_back("IndicateConnect");
    }
    void DirectPlay8Event_IndicatedConnectAborted(bool&) override {
        lines.push_back("IndicatedConnectAborted");
    }
    void DirectPlay8Event_Receive(dx8::DPNMSG_RECEIVE& m, bool&) override {
        lines.push_back("Receive " + std::to_string(m.idSender) + " " +
                        m.ReceivedData.toStdString());
    }
    void DirectPlay8Event_TerminateSession(dx8::DPNMSG_TERMINATE_SESSION& m, bool&) override {
        add("TerminateSession", m.hResultCode);
    }

private:
    void add(const char* what, dx8::HRESULT result) {
        lines.push_back(std::string(what) + " " + dx8::hresultHex(result).toStdString());
    }
};

}  // namespace orvel::testing
