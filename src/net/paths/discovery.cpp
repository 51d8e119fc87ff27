#include "net/paths/discovery.h"

#include <QHostAddress>
#include <QNetworkDatagram>
#include <QRandomGenerator>
#include <algorithm>

#include "net/paths/address_text.h"
#include "net/session/roster.h"

namespace dx8 {

namespace {

// Discovery answers per source address and overall (tokens per second, burst).
constexpr double kQueryRatePerSender = 5, kQueryBurstPerSender = 10;
constexpr double kQueryRateAll = 50, kQueryBurstAll = 100;

}  // namespace

// ---- Search -------------------------------------------------------------------------------------

HostSearch::HostSearch(QUuid application, std::vector<Target> targets, int rounds, int intervalMs,
                       int timeoutMs, OnAnswer onAnswer, OnFinished onFinished)
    : application_(application),
      targets_(std::move(targets)),
      roundsLeft_(rounds),
      intervalMs_(intervalMs),
      timeoutMs_(timeoutMs),
      nonce_(QRandomGenerator::global()->generate()),
      onAnswer_(std::move(onAnswer)),
      onFinished_(std::move(onFinished)) {
    clock_.start();
    QObject::connect(&socket_, &QUdpSocket::readyRead, &socket_, [this] { readAnswers(); });
    QObject::connect(&timer_, &QTimer::timeout, &socket_, [this] { round(); });
    timer_.setSingleShot(true);
}

HostSearch::~HostSearch() = default;

void HostSearch::byCode(orvel::meet::Code code, orvel::meet::Endpoint point) {
    namespace meet = orvel::meet;
    code_ = code;
    targets_.clear();
    meet::MeetClient::Events e;
    e.found = [this](const meet::MeetClient::HostAddresses& h) {
        found_ = h;
        foundMs_ = static_cast<int>(std::min<qint64>(clock_.elapsed(), 60000));
        targets_ = {Target{h.seenAt.ip, h.seenAt.port, h.seenAt.port}};
    };
    e.failed = [this](meet::MeetClient::Request, meet::Problem problem, meet::Code,
                      meet::Endpoint) {
        stop();
        onFinished_(problem == meet::Problem::UnknownCode ? DPNERR_INVALIDHOSTADDRESS
                                                          : DPNERR_NORESPONSE);
    };
    meet_ = std::make_unique<meet::MeetClient>(
        point,
        [this](const QByteArray& datagram, meet::Endpoint to) {
            socket_.writeDatagram(datagram, QHostAddress(to.ip), to.port);
        },
        std::move(e));
}

bool HostSearch::start() {
    if (!socket_.bind(QHostAddress::AnyIPv4, 0)) {
        return false;
    }
    if (meet_) {
        meet_->lookup(code_);
    }
    round();
    return true;
}

void HostSearch::answerOfMeetingPoint() {
    DPNMSG_ENUM_HOSTS_RESPONSE r;
    r.ApplicationDescription.lSize = 1;
    r.ApplicationDescription.guidApplication = guidText(application_);
    r.ApplicationDescription.SessionName = found_->name;
    r.lRoundTripLatencyMS = foundMs_;
    r.AddressSenderUrl = hostUrl(orvel::meet::formatCode(code_), 0);
    r.AddressDeviceUrl = deviceUrl();
    onAnswer_(std::move(r));
}

void HostSearch::stop() {
    stopped_ = true;
    timer_.stop();
    socket_.close();
}

void HostSearch::round() {
    if (stopped_) {
        return;
    }
    if (roundsLeft_ == 0) {
        // All queries are out and the wait for late answers is over.
        stop();
        onFinished_(DPN_OK);
        return;
    }
    if (queriedHost_ && !std::exchange(hostAnswered_, false)) {
        answerOfMeetingPoint();  // keeps the session listed where the host cannot answer us
    }
    queriedHost_ = found_.has_value();
    net::DiscoveryQuery q;
    q.application = application_;
    q.nonce = nonce_;
    q.sentMs = static_cast<uint32_t>(clock_.elapsed());
    const QByteArray datagram = net::encodeQuery(q);
    for (const Target& t : targets_) {
        const QHostAddress to(t.ip);
        for (int port = t.firstPort; port <= t.lastPort; ++port) {
            socket_.writeDatagram(datagram, to, static_cast<quint16>(port));
        }
    }
    if (roundsLeft_ > 0) {
        --roundsLeft_;
    }
    if (roundsLeft_ == 0 && timeoutMs_ < 0) {
        return;  // answers are listened for until the search is cancelled
    }
    timer_.start(roundsLeft_ == 0 ? timeoutMs_ : intervalMs_);
}

void HostSearch::readAnswers() {
    while (!stopped_ && socket_.hasPendingDatagrams()) {
        const QNetworkDatagram d = socket_.receiveDatagram(
            std::max<qint64>(net::kMaxAnswerSize, orvel::meet::kMaxDatagramSize) + 1);
        const QByteArray bytes = d.data();
        bool v4 = false;
        const uint32_t ip = d.senderAddress().toIPv4Address(&v4);
        const auto* data = reinterpret_cast<const uint8_t*>(bytes.constData());
        if (meet_ && v4 &&
            meet_->receive(data, static_cast<size_t>(bytes.size()),
                           {ip, static_cast<uint16_t>(d.senderPort())})) {
            continue;
        }
        const auto answer = net::decodeAnswer(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                              static_cast<size_t>(bytes.size()));
        if (!answer || answer->nonce != nonce_) {
            continue;
        }
        if (!application_.isNull() && answer->application != application_) {
            continue;
        }
        if (!v4 || d.senderPort() <= 0) {
            continue;
        }
        const uint32_t elapsed = static_cast<uint32_t>(clock_.elapsed()) - answer->sentMs;
        DPNMSG_ENUM_HOSTS_RESPONSE r;
        r.ApplicationDescription.lSize = 1;
        r.ApplicationDescription.lFlags =
            (answer->flags & ~DPNSESSION_REQUIREPASSWORD) |
            (answer->passwordRequired ? DPNSESSION_REQUIREPASSWORD : 0);
        r.ApplicationDescription.guidInstance = guidText(answer->instance);
        r.ApplicationDescription.guidApplication = guidText(answer->application);
        r.ApplicationDescription.lMaxPlayers = answer->maxPlayers;
        r.ApplicationDescription.lCurrentPlayers = answer->currentPlayers;
        r.ApplicationDescription.SessionName = answer->sessionName;
        r.lRoundTripLatencyMS = elapsed > 60000 ? 60000 : static_cast<int32_t>(elapsed);
        r.AddressSenderUrl = meet_ ? hostUrl(orvel::meet::formatCode(code_), 0)
                                   : hostUrl(ip, static_cast<uint16_t>(d.senderPort()));
        r.AddressDeviceUrl = deviceUrl();
        hostAnswered_ = hostAnswered_ || meet_ != nullptr;
        onAnswer_(std::move(r));
    }
}

// ---- Answers ------------------------------------------------------------------------------------

QueryResponder::QueryResponder()
    : perSender_(kQueryRatePerSender, kQueryBurstPerSender), all_(kQueryRateAll, kQueryBurstAll) {}

std::optional<QByteArray> QueryResponder::answer(const uint8_t* data, size_t size, uint32_t ip,
                                                 qint64 now, const Roster& roster) {
    if (!roster.isHost()) {
        return std::nullopt;
    }
    const auto query = net::decodeQuery(data, size);
    if (!query) {
        return std::nullopt;
    }
    if (!query->application.isNull() && query->application != roster.desc.application) {
        return std::nullopt;
    }
    if (!perSender_.take(ip, now) || !all_.take(now)) {
        return std::nullopt;
    }
    net::DiscoveryAnswer a;
    a.nonce = query->nonce;
    a.sentMs = query->sentMs;
    a.instance = roster.desc.instance;
    a.application = roster.desc.application;
    a.maxPlayers = roster.desc.maxPlayers;
    a.currentPlayers = roster.activePlayers();
    a.flags = roster.desc.flags;
    a.passwordRequired = !roster.password.isEmpty();
    a.sessionName = roster.desc.name;
    return net::encodeAnswer(a);
}

}  // namespace dx8
