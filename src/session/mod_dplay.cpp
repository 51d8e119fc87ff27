#include "session/mod_dplay.h"

#include <QHostAddress>
#include <exception>

#include "common/settings_store.h"
#include "platform/dx8/play/peer_extras.h"

// Start-up and shutdown steps, in the order they run; tests read the order from here.
Q_LOGGING_CATEGORY(lcStartup, "orvel.startup", QtWarningMsg)

namespace orvel {

namespace {

// The keyboard device keeps this many key events between two reads.
constexpr int32_t kKeyboardBufferSize = 10;

template <class Step>
void ignoringFailure(const char* what, Step&& step) {
    try {
        step();
    } catch (const dx8::DxError& e) {
        qCDebug(lcStartup) << what << "failed with" << dx8::hresultHex(e.code());
    } catch (const std::exception& e) {
        qCDebug(lcStartup) << what << "failed:" << e.what();
    }
}

}  // namespace

void ModDplay::CreateDirectXObjects(uintptr_t window, dx8::DirectXEvent8* keyboardCallback) {
    qCDebug(lcStartup) << "create dxRoot";
    dxRoot = std::make_shared<dx8::DirectX8>();
    qCDebug(lcStartup) << "create dpPeer";
    dpPeer = dxRoot->DirectPlayPeerCreate();
    // Off unless the player named one: nothing goes to a meeting point otherwise.
    dx8::setMeetPoint(GetDefault(QStringLiteral("MeetPoint")));
    qCDebug(lcStartup) << "create diInput";
    diInput = dxRoot->DirectInputCreate();
    qCDebug(lcStartup) << "create diKeyboard";
    diKeyboard = diInput->CreateDevice(dx8::GUID_SysKeyboard);
    diKeyboard->SetCommonDataFormat(dx8::DIFORMAT_KEYBOARD);
    // Background and non-exclusive: keys arrive while the game has the focus, and every other
    // program keeps its keyboard.
    diKeyboard->SetCooperativeLevel(window, dx8::DISCL_NONEXCLUSIVE | dx8::DISCL_BACKGROUND);
    qCDebug(lcStartup) << "create keyboardEvent";
    keyboardEvent = dxRoot->CreateEvent(keyboardCallback);
    diKeyboard->SetEventNotification(keyboardEvent);
    dx8::DIPROPLONG bufferSize;
    bufferSize.lHow = dx8::DIPH_DEVICE;
    bufferSize.lObj = 0;
    bufferSize.lData = kKeyboardBufferSize;
    diKeyboard->SetProperty(dx8::DIPROP_BUFFERSIZE, bufferSize);
    diKeyboard->Acquire();
    qCDebug(lcStartup) << "acquired diKeyboard";
}

void ModDplay::StartPortMapping() {
    if (!dpPeer || !net::portMappingAllowed(GetDefault(QStringLiteral("PortMapping")))) {
        return;
    }
    portMapper = std::make_unique<net::PortMapper>();
    QObject::connect(
        portMapper.get(), &net::PortMapper::stateChanged, portMapper.get(),
        [this, m = portMapper.get()] {
            qCDebug(lcStartup) << "port mapping" << m->describe();
            // The other players learn where our router forwards to us, so that those who
            // could not reach us may link to us there.
            if (dpPeer && m->state() == net::PortMapper::State::Mapped && m->mapping()) {
                dx8::setMappedEndpointOf(
                    dpPeer.get(), QHostAddress(m->mapping()->externalAddress).toIPv4Address(),
                    m->mapping()->externalPort);
            }
        });
    portMapper->start(dx8::sessionPortOf(dpPeer.get()));
}

// Given back before the session is left, bounded in time.
void ModDplay::StopPortMapping() {
    if (portMapper) {
        qCDebug(lcStartup) << "release portMapper";
        portMapper.reset();
    }
}

void ModDplay::DropDirectXObjects() {
    StopPortMapping();
    ignoringFailure("release keyboardEvent", [this] {
        if (keyboardEvent != 0) {
            qCDebug(lcStartup) << "release keyboardEvent";
            const int32_t event = keyboardEvent;
            keyboardEvent = 0;
            if (dxRoot) {
                dxRoot->DestroyEvent(event);
            }
        }
    });
    // The device is not unacquired first: dropping it ends its use.
    auto drop = [](const char* step, auto& object) {
        ignoringFailure(step, [step, &object] {
            if (object) {
                qCDebug(lcStartup) << step;
                object.reset();
            }
        });
    };
    drop("release diKeyboard", diKeyboard);
    drop("release diInput", diInput);
    drop("release dpPeer", dpPeer);
    drop("release dxRoot", dxRoot);
}

void ModDplay::ReleaseDirectXObjects() {
    StopPortMapping();
    restartRecord.stop();
    if (connectWizard) {
        if (dpPeer) {
            // No notification may reach a window that is about to go.
            qCDebug(lcStartup) << "unregister handler";
            dpPeer->UnRegisterMessageHandler();
        }
        qCDebug(lcStartup) << "unload wizard";
        connectWizard->GoUnload();
        if (dpPeer) {
            qCDebug(lcStartup) << "close dpPeer";
            dpPeer->Close(0);
        }
        connectWizard->DoSleep(50);
        DropDirectXObjects();
    }
    qCDebug(lcStartup) << "release connectWizard";
    connectWizard.reset();
}

}  // namespace orvel
