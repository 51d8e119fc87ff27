#include "net/links/enet_internals.h"

#include <enet/time.h>

// What follows reaches into ENet's structures; another ENet may lay them out or use them
// otherwise, so a build against one it was not written for must be asked for on purpose.
#if ORVEL_ENET_VERSION_CHECKED
static_assert(ENET_VERSION == ENET_VERSION_CREATE(1, 3, 17),
              "enet_internals.cpp is written for ENet 1.3.17");
#endif

namespace dx8::enet_internals {

namespace {

template <typename F>
void eachInFlight(const ENetPeer& p, F f) {
    auto& list = const_cast<ENetList&>(p.sentReliableCommands);
    for (ENetListIterator it = enet_list_begin(&list); it != enet_list_end(&list);
         it = enet_list_next(it)) {
        f(*reinterpret_cast<ENetOutgoingCommand*>(it));
    }
}

}  // namespace

bool hasInFlight(const ENetPeer& p) {
    return !enet_list_empty(&p.sentReliableCommands);
}

bool hasQueued(const ENetPeer& p) {
    return !enet_list_empty(&p.acknowledgements) || !enet_list_empty(&p.outgoingCommands);
}

enet_uint32 firstSentAt(const ENetPeer& p) {
    if (!hasInFlight(p)) {
        return 0;
    }
    return reinterpret_cast<const ENetOutgoingCommand*>(enet_list_front(&p.sentReliableCommands))
        ->sentTime;
}

enet_uint32 nextTimeout(const ENetPeer& p) {
    return p.nextTimeout;
}

enet_uint32 pingDue(const ENetPeer& p) {
    return p.lastReceiveTime + p.pingInterval;
}

enet_uint32 lastReceiveTime(const ENetPeer& p) {
    return p.lastReceiveTime;
}

enet_uint32 connectId(const ENetPeer& p) {
    return p.connectID;
}

enet_uint32 serviceTime(const ENetHost& host) {
    return host.serviceTime;
}

void capResendGap(ENetPeer& p, enet_uint32 maxGapMs) {
    eachInFlight(p, [&](ENetOutgoingCommand& command) {
        if (command.roundTripTimeout > maxGapMs) {
            command.roundTripTimeout = maxGapMs;
        }
        const enet_uint32 due = command.sentTime + command.roundTripTimeout;
        if (ENET_TIME_LESS(due, p.nextTimeout)) {
            p.nextTimeout = due;
        }
    });
}

void capHandshake(ENetPeer& p, enet_uint32 ms) {
    if (p.timeoutMinimum > ms) {
        p.timeoutMinimum = ms;
    }
    if (p.timeoutMaximum > ms) {
        p.timeoutMaximum = ms;
    }
}

void resendNow(ENetHost& host, ENetPeer& p) {
    if (!hasInFlight(p)) {
        return;
    }
    eachInFlight(p, [](ENetOutgoingCommand& command) { command.roundTripTimeout = 0; });
    p.nextTimeout = host.serviceTime;
}

void holdResends(ENetPeer& p, uint32_t attempts, enet_uint32 heldMs) {
    if (!hasInFlight(p)) {
        return;
    }
    enet_uint32 due = enet_time_get() + heldMs;
    eachInFlight(p, [&](ENetOutgoingCommand& command) {
        if (command.sendAttempts >= attempts) {
            command.roundTripTimeout = heldMs;
        }
        if (ENET_TIME_LESS(command.sentTime + command.roundTripTimeout, due)) {
            due = command.sentTime + command.roundTripTimeout;
        }
    });
    p.nextTimeout = due;
}

Received received(const ENetHost& host) {
    return {host.receivedData, host.receivedDataLength, host.receivedAddress};
}

}  // namespace dx8::enet_internals
