#include "net/paths/port_mapper.h"

#include <QLoggingCategory>
#include <QMetaObject>
#include <future>
#include <mutex>
#include <thread>

Q_LOGGING_CATEGORY(lcPortMap, "orvel.portmap", QtWarningMsg)

namespace orvel::net {

using namespace std::chrono;

namespace {

using Held = std::pair<std::shared_ptr<PortMapBackend>, Mapping>;

// Gives every mapping back, each on its own thread, and waits for them until the deadline at
// most (not at all unless wait). A router that does not answer in time keeps the mapping until
// its lease runs out.
void removeAll(const std::vector<Held>& held, milliseconds budget, bool wait = true) {
    const auto deadline = steady_clock::now() + budget;
    std::vector<std::future<bool>> done;
    for (const auto& [backend, mapping] : held) {
        std::promise<bool> promise;
        done.push_back(promise.get_future());
        std::thread([backend, mapping, budget, p = std::move(promise)]() mutable {
            p.set_value(backend->remove(mapping, budget));
        }).detach();
    }
    for (size_t i = 0; wait && i < done.size(); ++i) {
        const bool ok = done[i].wait_until(deadline) == std::future_status::ready && done[i].get();
        qCDebug(lcPortMap) << "removed" << held[i].second.publicEndpoint() << ok;
    }
}

}  // namespace

QString protocolName(MappingProtocol p) {
    return p == MappingProtocol::Upnp ? QStringLiteral("UPnP IGD") : QStringLiteral("NAT-PMP");
}

// What the workers and the mapper share. A worker hands its answer over only while the mapper
// still wants answers of its round; otherwise it gives back what it got by itself.
struct PortMapper::Shared {
    struct Delivery {
        uint64_t round;
        size_t backend;
        MapAnswer answer;
        bool renewal;
    };
    std::mutex lock;
    PortMapper* receiver = nullptr;
    uint64_t round = 0;
    std::vector<Delivery> inbox;
};

PortMapper::PortMapper(std::vector<std::shared_ptr<PortMapBackend>> backends, QObject* parent)
    : PortMapper(std::move(backends), Timing{}, parent) {}

PortMapper::PortMapper(std::vector<std::shared_ptr<PortMapBackend>> backends, Timing timing,
                       QObject* parent)
    : QObject(parent),
      backends_(std::move(backends)),
      timing_(timing),
      shared_(std::make_shared<Shared>()) {
    if (backends_.empty()) {
        backends_ = {makeUpnpBackend(), makeNatPmpBackend()};
    }
    shared_->receiver = this;
    deadline_.setSingleShot(true);
    renewal_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, &PortMapper::giveUp);
    connect(&renewal_, &QTimer::timeout, this, [this] {
        if (state_ == State::Mapped) {
            ask(winner_, true);
        }
    });
}

PortMapper::~PortMapper() {
    stop();
    std::lock_guard<std::mutex> guard(shared_->lock);
    shared_->receiver = nullptr;
}

void PortMapper::start(uint16_t port) {
    stop();
    if (port == 0) {
        return;
    }
    port_ = port;
    errors_.clear();
    failure_.clear();
    pending_ = backends_.size();
    setState(State::Trying);
    deadline_.start(timing_.discovery);
    for (size_t i = 0; i < backends_.size(); ++i) {
        ask(i, false);
    }
}

void PortMapper::stop() {
    deadline_.stop();
    renewal_.stop();
    std::vector<Held> held;
    {
        std::lock_guard<std::mutex> guard(shared_->lock);
        ++shared_->round;
        // Answers that came in but were not read yet are mappings too.
        for (auto& d : shared_->inbox) {
            if (d.answer.mapping) {
                held.emplace_back(backends_[d.backend], *d.answer.mapping);
            }
        }
        shared_->inbox.clear();
    }
    if (mapping_) {
        held.emplace_back(backends_[winner_], *mapping_);
        mapping_.reset();
    }
    if (twin_) {
        held.emplace_back(backends_[twin_->first], twin_->second);
        twin_.reset();
    }
    if (!held.empty()) {
        removeAll(held, timing_.removal);
    }
    setState(State::Off);
}

void PortMapper::ask(size_t index, bool renewal) {
    uint64_t round;
    {
        std::lock_guard<std::mutex> guard(shared_->lock);
        round = shared_->round;
    }
    const auto backend = backends_[index];
    const auto shared = shared_;
    const uint16_t port = port_;
    const auto lease = timing_.lease;
    const auto budget = timing_.discovery;
    std::thread([=] {
        MapAnswer answer = backend->add(port, lease, budget);
        {
            std::lock_guard<std::mutex> guard(shared->lock);
            if (shared->receiver != nullptr && shared->round == round) {
                shared->inbox.push_back({round, index, std::move(answer), renewal});
                PortMapper* receiver = shared->receiver;
                QMetaObject::invokeMethod(
                    receiver,
                    [receiver] {
                        std::vector<Shared::Delivery> mail;
                        {
                            std::lock_guard<std::mutex> g(receiver->shared_->lock);
                            mail.swap(receiver->shared_->inbox);
                        }
                        for (const auto& d : mail) {
                            receiver->answered(d.round, d.backend, d.answer, d.renewal);
                        }
                    },
                    Qt::QueuedConnection);
                return;
            }
        }
        // Nobody wants it any more.
        if (answer.mapping) {
            backend->remove(*answer.mapping, budget);
        }
    }).detach();
}

void PortMapper::answered(uint64_t round, size_t index, const MapAnswer& answer, bool renewal) {
    {
        std::lock_guard<std::mutex> guard(shared_->lock);
        if (round != shared_->round) {
            return;  // stop() took it from the inbox already
        }
    }
    if (renewal) {
        if (index != winner_ || state_ != State::Mapped) {
            return;
        }
        if (answer.mapping) {
            const bool moved = answer.mapping->publicEndpoint() != mapping_->publicEndpoint();
            mapping_ = answer.mapping;
            armRenewal();
            if (moved) {
                emit stateChanged(state_);
            }
        } else {
            mapping_.reset();
            failure_ =
                QStringLiteral("the router stopped renewing the mapping (%1)").arg(answer.error);
            setState(State::Failed);
        }
        return;
    }
    if (pending_ > 0) {
        --pending_;
    }
    if (answer.mapping) {
        if (state_ == State::Mapped) {
            // The other protocol was faster. A router that speaks both answers with the entry it
            // already holds, which must stay; another router's port is not needed.
            if (answer.mapping->publicEndpoint() != mapping_->publicEndpoint()) {
                removeAll({{backends_[index], *answer.mapping}}, timing_.removal, false);
            } else {
                twin_.emplace(index, *answer.mapping);
            }
            return;
        }
        deadline_.stop();
        mapping_ = answer.mapping;
        winner_ = index;
        failure_.clear();
        armRenewal();
        setState(State::Mapped);
        return;
    }
    errors_.push_back(protocolName(backends_[index]->protocol()) + QStringLiteral(": ") +
                      answer.error);
    if (pending_ == 0 && state_ == State::Trying) {
        giveUp();
    }
}

void PortMapper::giveUp() {
    if (state_ != State::Trying) {
        return;
    }
    deadline_.stop();
    QStringList why(errors_.begin(), errors_.end());
    if (pending_ > 0) {
        why << QStringLiteral("no answer within %1 ms").arg(timing_.discovery.count());
    }
    failure_ = why.join(QStringLiteral("; "));
    setState(State::Failed);
}

void PortMapper::armRenewal() {
    if (mapping_ && mapping_->lease.count() > 0) {
        renewal_.start(
            std::max(milliseconds(500), duration_cast<milliseconds>(mapping_->lease) / 2));
    }
}

void PortMapper::setState(State s) {
    if (s == state_) {
        return;
    }
    state_ = s;
    qCDebug(lcPortMap) << describe();
    emit stateChanged(s);
}

QString PortMapper::describe() const {
    switch (state_) {
        case State::Off:
            return QStringLiteral("off");
        case State::Trying:
            return QStringLiteral("trying");
        case State::Mapped:
            return QStringLiteral("mapped %1 (%2)")
                .arg(mapping_->publicEndpoint(), protocolName(mapping_->protocol));
        case State::Failed:
            return QStringLiteral("failed: ") + failure_;
    }
    return {};
}

bool portMappingAllowed(const QString& settingText) {
    if (qEnvironmentVariable("ORVEL_DISCOVERY").trimmed().toLower() == QStringLiteral("loopback")) {
        return false;
    }
    return settingText.trimmed() != QStringLiteral("0");
}

}  // namespace orvel::net
