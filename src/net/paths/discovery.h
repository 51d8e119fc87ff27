#pragma once

// Finding sessions: a running search (EnumHosts) with its own socket, and the host's answers to
// the queries that reach its session port, rate-limited per sender and overall.

#include <QElapsedTimer>
#include <QTimer>
#include <QUdpSocket>
#include <QUuid>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/dx8/directplay8.h"
#include "net/trust/rate_limit.h"
#include "net/session/session_protocol.h"
#include "net/paths/meet_client.h"

namespace dx8 {

class Roster;

// One running EnumHosts: queries go out to every target port each round; answers come back to
// its socket.
class HostSearch {
public:
    struct Target {
        uint32_t ip = 0;
        uint16_t firstPort = 0;
        uint16_t lastPort = 0;
    };
    using OnAnswer = std::function<void(DPNMSG_ENUM_HOSTS_RESPONSE)>;
    using OnFinished = std::function<void(HRESULT)>;

    // rounds and timeoutMs of -1 mean no end.
    HostSearch(QUuid application, std::vector<Target> targets, int rounds, int intervalMs,
               int timeoutMs, OnAnswer onAnswer, OnFinished onFinished);
    ~HostSearch();

    // The session of a code instead: the meeting point names its host and has it send toward
    // this search, whose queries then pass the host's router. Where the host's own answer does
    // not come through, the meeting point's word is listed in its place. Answers name the code
    // as the host's address, so that a join asks the meeting point again from its own port.
    void byCode(orvel::meet::Code code, orvel::meet::Endpoint point);

    bool start();
    void stop();

private:
    void round();
    void readAnswers();
    void answerOfMeetingPoint();

    QUuid application_;
    std::vector<Target> targets_;
    int roundsLeft_;
    int intervalMs_;
    int timeoutMs_;
    uint32_t nonce_;
    OnAnswer onAnswer_;
    OnFinished onFinished_;
    bool stopped_ = false;
    QElapsedTimer clock_;
    QUdpSocket socket_;
    QTimer timer_;

    std::unique_ptr<orvel::meet::MeetClient> meet_;
    orvel::meet::Code code_;
    std::optional<orvel::meet::MeetClient::HostAddresses> found_;
    int foundMs_ = 0;            // the meeting point's round trip
    bool queriedHost_ = false;   // in the last round
    bool hostAnswered_ = false;  // since the last round
};

// The host's side: which queries get an answer, and what it says.
class QueryResponder {
public:
    QueryResponder();
    // The answer to send back to ip, or nullopt when the query goes unanswered.
    std::optional<QByteArray> answer(const uint8_t* data, size_t size, uint32_t ip, qint64 now,
                                     const Roster& roster);

private:
    PerSourceLimit perSender_;
    TokenBucket all_;
};

}  // namespace dx8
