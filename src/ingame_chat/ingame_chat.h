#pragma once

// The in-game chat: T during a race opens an input line in the game's message area, the keys
// typed into the game are added to it, and Enter sends it through the race session as an
// ordinary chat line. Keys come from the background keyboard device as its notification.

#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/dx8/input/directinput8.h"

namespace orvel {

class ModDplay;
class RaceSession;

class InGameChat {
public:
    // The keyboard device and its event are read from objects at every notification.
    // lastChatLine gives the line that the game shows again when the input line opens.
    InGameChat(const ModDplay& objects, RaceSession& session,
               std::function<QString()> lastChatLine);

    // The keyboard notification: handles every key press waiting in the device.
    void DirectXEvent8_DXCallback(int32_t eventid);

    // Enter: the line as it goes out (without the prompt, in lower case), empty or not, just
    // before it is sent.
    void onLineEntered(std::function<void(const QString& line)> handler) {
        lineEntered_ = std::move(handler);
    }

    bool gameChatOpen = false;
    QString gameChatText;  // the input line, prompt " >" included

private:
    void handleKey(int16_t code, bool shift);
    void editInputLine(int16_t code, bool shift);
    void sendInputLine();
    void openInputLine();

    const ModDplay& objects_;
    RaceSession& session_;
    std::function<QString()> lastChatLine_;
    std::function<void(const QString&)> lineEntered_;

    // Whether each Shift key (left, right) is down according to the events read so far. It
    // belongs to the event stream of one device, so a new device starts afresh.
    std::weak_ptr<dx8::DirectInputDevice8> shiftDevice_;
    std::array<bool, 2> shiftDown_{};
};

}  // namespace orvel
