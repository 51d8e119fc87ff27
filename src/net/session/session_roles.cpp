#include "net/session/session_roles.h"

#include "net/links/link_timing.h"

#include <iterator>
#include <utility>

namespace dx8 {

namespace {

// Who may say what on a player's link. Anything that changes who is who has one row here: the
// host (PlayerRemoved about the host, Terminate), who takes over and the relayed pairs (Paths,
// PlayerAdded), names (NameOf); the messages of a join have no place on a player's link at all.
enum class Who {
    Nobody,    // only on the links of a join
    Host,      // the host, and nobody else
    ToHost,    // any player, about itself, to us as the host
    Anyone,    // any player, about itself
    HostGone,  // the host; about the host, anyone once our own link to it has gone dark too
};

constexpr std::pair<net::Ctl, Who> kAuthority[] = {
    {net::Ctl::JoinRequest, Who::Nobody},   {net::Ctl::JoinRefuse, Who::Nobody},
    {net::Ctl::JoinAccept, Who::Nobody},    {net::Ctl::Expect, Who::Host},
    {net::Ctl::MeshHello, Who::Nobody},     {net::Ctl::MeshAck, Who::Nobody},
    {net::Ctl::JoinReady, Who::Nobody},     {net::Ctl::JoinFail, Who::Nobody},
    {net::Ctl::PlayerAdded, Who::Host},     {net::Ctl::AddedAck, Who::ToHost},
    {net::Ctl::JoinDone, Who::Nobody},      {net::Ctl::PlayerRemoved, Who::HostGone},
    {net::Ctl::Leaving, Who::Anyone},       {net::Ctl::Terminate, Who::Host},
    {net::Ctl::Info, Who::ToHost},          {net::Ctl::Paths, Who::Host},
    {net::Ctl::Mapped, Who::Anyone},        {net::Ctl::Reach, Who::Host},
    {net::Ctl::Linked, Who::ToHost},        {net::Ctl::NameOf, Who::Host},
    {net::Ctl::RoundTrips, Who::Host},      {net::Ctl::Unlinked, Who::ToHost},
    {net::Ctl::JoinChallenge, Who::Nobody}, {net::Ctl::OwnKey, Who::ToHost},
    {net::Ctl::KeyOf, Who::Host},           {net::Ctl::Return, Who::Nobody},
    {net::Ctl::HostAt, Who::Nobody},        {net::Ctl::MeetCode, Who::Host},
    {net::Ctl::MeetPair, Who::Host},        {net::Ctl::AddressProof, Who::Nobody},
};
static_assert(std::size(kAuthority) == static_cast<size_t>(net::kLastCtl));

Who whoMaySay(net::Ctl type) {
    return kAuthority[static_cast<size_t>(type) - 1].second;
}

}  // namespace

bool SessionRoles::mayTake(DPNID from, const net::ControlMessage& m) const {
    const Roster& r = roster_;
    const bool fromHost = from == r.hostId && from != r.localId;
    switch (whoMaySay(net::typeOf(m))) {
        case Who::Nobody:
            return false;
        case Who::Host:
            return fromHost;
        case Who::ToHost:
            return r.isHost() && r.present(from) != nullptr;
        case Who::Anyone:
            return r.present(from) != nullptr;
        case Who::HostGone: {
            const auto& removed = std::get<net::msg::PlayerRemoved>(m);
            return fromHost || (removed.playerId == r.hostId && r.present(from) != nullptr &&
                                !r.isHost() && hostDark());
        }
    }
    return false;
}

void SessionRoles::heardHostGone(DPNID from, const net::ControlMessage& m) {
    const auto* removed = std::get_if<net::msg::PlayerRemoved>(&m);
    if (removed != nullptr && removed->playerId == roster_.hostId && !roster_.isHost() &&
        roster_.present(from) != nullptr) {
        hostGone_ = HostGoneHeard{from, *removed, context_.now() + kHostGoneHeardMs};
    }
}

bool SessionRoles::hostDark() const {
    const LinkId link = roster_.hostLink();
    return link == 0 || !context_.links.has(link) || context_.links.silentMs(link) >= kDarkLinkMs;
}

SessionRoles::SessionRoles(LinkTable& links, SessionEvents& events, std::function<qint64()> now,
                           std::function<void()> leave)
    : context_{links, roster_, events, std::move(now), std::move(leave)},
      hostJoin_(context_),
      relay_(context_),
      members_(context_, hostJoin_, relay_),
      joiner_(context_, members_),
      comeBack_(context_, joiner_, members_, meet_),
      meet_(context_, relay_) {
    joiner_.joined = [this] { comeBack_.becamePlayer(); };
}

bool SessionRoles::takesVisitors() const {
    // A joiner that has its answer already takes links: the next joiner may be quicker than the
    // host's word that this join is complete.
    return roster_.inSession || joiner_.accepted();
}

void SessionRoles::linkUp(LinkId link, Link& state) {
    if (isOutgoing(state.kind)) {
        context_.dials.answered(context_.links.endpointOf(link));
    }
    switch (state.kind) {
        case LinkKind::ToHost:
        case LinkKind::MeshOut:
            joiner_.onLinkUp(link, state);
            break;
        case LinkKind::OffRelay:
            relay_.onLinkUp(link);
            break;
        default:
            break;  // only links we asked for come up
    }
}

void SessionRoles::linkDown(LinkId link, const Link& state) {
    switch (state.kind) {
        case LinkKind::Unverified:
        case LinkKind::MeshIn:
        case LinkKind::Closing:
            break;
        case LinkKind::Joiner:
            hostJoin_.onLinkLost(link);
            break;
        case LinkKind::ToHost:
        case LinkKind::MeshOut:
            joiner_.onLinkLost(link, state);
            break;
        case LinkKind::OffRelay:
            relay_.onLinkLost(link);
            break;
        case LinkKind::Player:
            if (Player* p = roster_.present(state.playerId)) {
                p->link = 0;
            }
            if (cutOff(state.playerId)) {
                // Everyone else went quiet at once: it is us who are gone, not all of them. The
                // others carry on without us (and migrate if we host); we try to come back, and
                // the session is lost here only when that fails.
                hostGone_.reset();
                hostJoin_.reset();
                relay_.reset();
                const bool tryingAlready = comeBack_.active();
                if (comeBack_.cutOff()) {
                    qCWarning(lcSession) << "cut off from every player: coming back";
                    if (!tryingAlready) {
                        context_.events.comingBack(roster_.localId);
                    }
                } else {
                    qCWarning(lcSession) << "cut off from every player: the session is lost";
                    members_.endSession(DPNERR_CONNECTIONLOST,
                                        DPNDESTROYPLAYERREASON_CONNECTIONLOST);
                }
                break;
            }
            if (!relay_.backToRelay(state.playerId)) {
                members_.removePlayer(state.playerId, DPNDESTROYPLAYERREASON_CONNECTIONLOST);
            }
            break;
    }
}

bool SessionRoles::cutOff(DPNID lost) const {
    std::vector<qint64> others;
    for (const auto& [id, p] : roster_.players) {
        if (id != lost && id != roster_.localId && !p.gone && p.link != 0) {
            others.push_back(context_.links.silentMs(p.link));
        }
    }
    return cutOffFromAll(others);
}

void SessionRoles::dataArrived(const Link& state, const QByteArray& data) {
    switch (state.kind) {
        case LinkKind::Player:
        case LinkKind::OffRelay:
            // The sender is the player this link belongs to, whatever the bytes say. A relayed
            // player we are linking to directly may send this way once it has taken our hello,
            // before its answer reaches us.
            if (roster_.present(state.playerId) != nullptr) {
                context_.events.receive(state.playerId, data, true);
            }
            break;
        case LinkKind::ToHost:
        case LinkKind::MeshOut:
            joiner_.holdData(state, data);
            break;
        default:
            break;
    }
}

void SessionRoles::relayArrived(const Link& state, const QByteArray& packet, bool guaranteed) {
    const RelayRoute route = routeRelayed(roster_, state, packet, context_.now());
    if (route.action == RelayRoute::Deliver) {
        context_.events.receive(route.from, route.data, true);
    } else if (route.action == RelayRoute::Forward &&
               relay_.mayForward(state.playerId, route.to, packet.size())) {
        // On as it came: chat guaranteed, car states not (a late one is of no use).
        context_.links.sendData({route.forwardTo}, route.data, guaranteed ? DPNSEND_GUARANTEED : 0,
                                net::kChannelRelay);
    }
}

void SessionRoles::controlArrived(LinkId link, const net::ControlMessage& m) {
    Link* state = context_.links.find(link);
    if (state == nullptr) {
        return;
    }
    switch (state->kind) {
        case LinkKind::Unverified:
            if (const auto* request = std::get_if<net::msg::JoinRequest>(&m)) {
                hostJoin_.onRequest(link, *request);
            } else if (const auto* back = std::get_if<net::msg::Return>(&m)) {
                comeBack_.onReturn(link, *back);
            } else if (const auto* hello = std::get_if<net::msg::MeshHello>(&m)) {
                members_.onMeshHello(link, *hello);
            } else {
                context_.drop(link, Drop::Now);
            }
            break;
        case LinkKind::Joiner:
            hostJoin_.onControl(link, m);
            break;
        case LinkKind::ToHost:
        case LinkKind::MeshOut:
            if (const auto* hostAt = std::get_if<net::msg::HostAt>(&m);
                hostAt != nullptr && state->kind == LinkKind::ToHost) {
                comeBack_.onHostAt(*hostAt);
            } else {
                joiner_.onControl(link, *state, m);
            }
            break;
        case LinkKind::OffRelay:
            relay_.onLinkControl(link, m);
            break;
        case LinkKind::Player:
            playerSaid(state->playerId, m);
            break;
        case LinkKind::MeshIn:
        case LinkKind::Closing:
            break;
    }
}

bool SessionRoles::playerSaid(DPNID from, const net::ControlMessage& m) {
    using net::Ctl;
    namespace msg = net::msg;
    const Ctl type = net::typeOf(m);
    if (!mayTake(from, m)) {
        heardHostGone(from, m);
        return whoMaySay(type) != Who::Nobody;
    }
    switch (type) {
        case Ctl::Leaving:
            members_.removePlayer(from, DPNDESTROYPLAYERREASON_NORMAL);
            break;
        case Ctl::Info:
            members_.onInfo(from, std::get<msg::Info>(m));
            break;
        case Ctl::NameOf:
            members_.onNameOf(std::get<msg::NameOf>(m));
            break;
        case Ctl::Mapped:
            members_.onMapped(from, std::get<msg::Mapped>(m));
            break;
        case Ctl::AddedAck:
            hostJoin_.onAddedAck(from, std::get<msg::AddedAck>(m).playerId);
            break;
        case Ctl::Expect:
            members_.onExpect(std::get<msg::Expect>(m));
            break;
        case Ctl::PlayerAdded:
            members_.onPlayerAdded(std::get<msg::PlayerAdded>(m));
            break;
        case Ctl::PlayerRemoved:
            members_.onPlayerRemoved(from, std::get<msg::PlayerRemoved>(m));
            break;
        case Ctl::Terminate:
            members_.onTerminate(std::get<msg::Terminate>(m));
            break;
        case Ctl::Paths:
            roster_.takePaths(std::get<msg::Paths>(m));
            break;
        case Ctl::Reach:
            relay_.onReach(std::get<msg::Reach>(m));
            break;
        case Ctl::Linked:
            relay_.onLinked(from, std::get<msg::Linked>(m).playerId);
            break;
        case Ctl::Unlinked:
            relay_.onUnlinked(from, std::get<msg::Unlinked>(m).playerId);
            break;
        case Ctl::RoundTrips:
            relay_.onRoundTrips(std::get<msg::RoundTrips>(m));
            break;
        case Ctl::OwnKey:
        case Ctl::KeyOf:
            comeBack_.onKeyWord(from, m);
            break;
        case Ctl::MeetCode:
        case Ctl::MeetPair:
            meet_.onHostWord(m);  // the code to reclaim, or a relay to open
            break;
        default:
            break;
    }
    return true;
}

void SessionRoles::checkDeadlines() {
    const qint64 t = context_.now();
    std::vector<std::pair<LinkId, LinkKind>> expired;
    for (const auto& [link, state] : context_.links.all()) {
        if (waitsOnDeadline(state) && t > state.deadline) {
            expired.emplace_back(link, state.kind);
        }
    }
    for (const auto& [link, kind] : expired) {
        if (kind == LinkKind::Joiner) {
            hostJoin_.refuseExpired(link);
        }
        // A link that was closing has had its chance; the others still have someone to tell.
        context_.drop(link, kind == LinkKind::Closing ? Drop::Silently : Drop::Now);
    }
    if (hostGone_ && (t > hostGone_->until || hostGone_->said.playerId != roster_.hostId)) {
        hostGone_.reset();
    } else if (hostGone_ && hostDark()) {
        // What we heard while the host still answered us counts now that it does not.
        const HostGoneHeard heard = *std::exchange(hostGone_, std::nullopt);
        playerSaid(heard.from, heard.said);
    }
    roster_.expireExpectations(t);
    hostJoin_.checkDeadline(t);
    joiner_.checkDeadline(t);
    comeBack_.checkDeadline(t);
    relay_.checkDeadline(t);
    meet_.checkDeadline(t);
}

qint64 SessionRoles::earliestDeadline() const {
    qint64 earliest = 0;
    const qint64 recheck = hostGone_ ? context_.now() + kHostGoneRecheckMs : 0;
    for (qint64 d : {roster_.earliestExpectation(), hostJoin_.deadline(), joiner_.deadline(),
                     relay_.deadline(), comeBack_.deadline(), meet_.deadline(), recheck}) {
        if (d != 0 && (earliest == 0 || d < earliest)) {
            earliest = d;
        }
    }
    return earliest;
}

void SessionRoles::reset() {
    hostGone_.reset();
    roster_.clear();
    context_.dials.clear();
    hostJoin_.reset();
    relay_.reset();
    comeBack_.reset();
    meet_.reset();
}

}  // namespace dx8
