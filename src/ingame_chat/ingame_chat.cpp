// The in-game chat: T during a race opens an input line in the game's message area, the keys
// typed into the game are added to it, and Enter sends it as an ordinary chat line.
//
// Which key a notification types. The device's buffered events say exactly which key went down;
// the keyboard state only says which keys are down at the moment it is read. So every buffered
// press is taken from the event itself, in order, and the state serves only to know whether a
// Shift key was down:
//   - holding Shift never hides the key typed with it (both Shift codes lie below most keys, so
//     a walk for the lowest key down would stop at Shift);
//   - a key still held is not typed again when another key goes down;
//   - a quick tap that is already over when the state is read is still typed;
//   - presses that reach one notification together (the device folds signals that come before
//     its callback runs) are all typed instead of all but the first being lost.
// A read that finds no event leaves nothing to handle: the events of an earlier read are never
// handled twice.
#include <QLineEdit>
#include <QLoggingCategory>
#include <algorithm>
#include <array>
#include <cstdint>
#include <exception>
#include <memory>
#include <span>

#include "common/orvel_globals.h"
#include "game_link/cp1252.h"
#include "game_link/game_memory_map.h"
#include "game_link/message_area.h"
#include "main_window/frm_chat.h"
#include "session/mod_dplay.h"

Q_LOGGING_CATEGORY(lcInGame, "orvel.ingame", QtWarningMsg)

namespace orvel {

namespace {

// One more than the device keeps, so a read always takes everything that waits.
constexpr int32_t kEventSlots = 11;
// Keys above this code (function keys, keypad, arrows, ...) take no part in the chat.
constexpr int32_t kLastChatKey = 58;
constexpr uint8_t kKeyDown = 0x80;
constexpr int32_t kPressData = 0x80;

bool isPress(const dx8::DIDEVICEOBJECTDATA& e) {
    return e.lData == kPressData;
}

// Whether each Shift key is down according to the events read so far. It belongs to the event
// stream of one device, so a new device starts afresh.
struct ShiftTracker {
    std::weak_ptr<dx8::DirectInputDevice8> device;
    std::array<bool, 2> down{};  // left, right

    static constexpr std::array<int16_t, 2> kCodes{dx8::DIK_LSHIFT, dx8::DIK_RSHIFT};

    void follow(const std::shared_ptr<dx8::DirectInputDevice8>& current) {
        const bool same =
            !device.expired() && !device.owner_before(current) && !current.owner_before(device);
        if (!same) {
            device = current;
            down = {};
        }
    }
};

ShiftTracker shiftTracker;

// Shows the input line again in the game, while a race is on.
void rewriteInputLine(frmChat& window) {
    if (!window.isPlaying()) {
        return;
    }
    gamelink::ShowInputLine(window.gameChatText);
}

void sendInputLine(frmChat& window) {
    window.txtSend->setText(window.gameChatText.mid(gamelink::kInputPrompt.size()).toLower());
    try {
        int16_t enter = 13;
        window.txtSend_KeyPress(enter);
    } catch (const std::exception& e) {
        // The game's line is cleared and closed all the same.
        qCDebug(lcInGame) << "sending the line failed:" << e.what();
    }
    // One NUL, without the value before it, and whether or not a race is on.
    gamelink::CloseInputLine();
    window.gameChatOpen = false;
    window.gameChatText.clear();
}

void editInputLine(frmChat& window, int16_t code, bool shift) {
    if (code == dx8::DIK_RETURN) {
        sendInputLine(window);
        return;
    }
    if (code == dx8::DIK_BACK) {
        if (window.gameChatText.size() > gamelink::kInputPrompt.size()) {
            window.gameChatText.chop(1);
        }
    } else if (window.gameChatText.size() < gamemap::kInputLineMaxText) {
        window.gameChatText += KeyToChar(code, shift);
    }
    // Also when nothing changed: the game shows the line again as it is.
    rewriteInputLine(window);
}

void openInputLine(frmChat& window) {
    window.gameChatOpen = true;
    window.gameChatText = gamelink::kInputPrompt;
    gamelink::OpenInputLine(window.lastChatLine, window.gameChatText);
}

// One key that went down.
void handleKey(frmChat& window, int16_t code, bool shift) {
    qCDebug(lcInGame) << "key" << code << "shift" << shift << "line open" << window.gameChatOpen;
    if (window.gameChatOpen && window.isRunning() && window.isFocused()) {
        editInputLine(window, code, shift);
    } else {
        // Left behind in the game as it was; nothing is written.
        window.gameChatOpen = false;
    }
    // The T that opens the line is not typed into it; while open, T is a letter like any other.
    // The key is looked at before the game is asked, which spares every other key two reads of
    // the game's memory and two round trips to the window system.
    if (!window.gameChatOpen && KeyToChar(code, false) == QLatin1String("T") &&
        window.isPlaying() && window.isFocused()) {
        openInputLine(window);
    }
}

}  // namespace

void frmChat::DirectXEvent8_DXCallback(int32_t eventid) {
    if (eventid != keyboardEvent || keyboardEvent == 0 || !diKeyboard) {
        return;
    }
    // Held for the whole notification: sending a line must not pull the device away under it.
    const std::shared_ptr<dx8::DirectInputDevice8> keyboard = diKeyboard;

    dx8::DIKEYBOARDSTATE state;
    try {
        keyboard->GetDeviceStateKeyboard(state);
    } catch (const std::exception& e) {
        qCDebug(lcInGame) << "keyboard state not read:" << e.what();
    }
    std::array<dx8::DIDEVICEOBJECTDATA, kEventSlots> events{};
    int32_t count = 0;
    try {
        count = keyboard->GetDeviceData(events.data(), kEventSlots, 0);
    } catch (const std::exception& e) {
        qCDebug(lcInGame) << "key events not read:" << e.what();
        return;
    }
    if (count <= 0) {
        return;
    }
    count = std::min(count, kEventSlots);

    // Shift as it was before the first of these events: the opposite of a Shift key's first
    // event here; without one, what earlier events said or what the state shows now (a Shift
    // held since before the device was acquired never had a press event).
    shiftTracker.follow(keyboard);
    std::array<bool, 2> seen{};
    std::array<bool, 2> shift{};
    for (size_t k = 0; k < ShiftTracker::kCodes.size(); ++k) {
        for (int32_t i = 0; i < count && !seen[k]; ++i) {
            const dx8::DIDEVICEOBJECTDATA& e = events[static_cast<size_t>(i)];
            if (e.lOfs == ShiftTracker::kCodes[k]) {
                seen[k] = true;
                shift[k] = !isPress(e);
            }
        }
        if (!seen[k]) {
            shift[k] = shiftTracker.down[k] ||
                       state.key[static_cast<size_t>(ShiftTracker::kCodes[k])] == kKeyDown;
        }
    }

    for (int32_t i = 0; i < count; ++i) {
        const dx8::DIDEVICEOBJECTDATA& e = events[static_cast<size_t>(i)];
        for (size_t k = 0; k < ShiftTracker::kCodes.size(); ++k) {
            if (e.lOfs == ShiftTracker::kCodes[k]) {
                shift[k] = isPress(e);
            }
        }
        if (isPress(e) && e.lOfs >= 0 && e.lOfs <= kLastChatKey) {
            handleKey(*this, static_cast<int16_t>(e.lOfs), shift[0] || shift[1]);
        }
    }

    // Without an event of its own here, a Shift key counts as down afterwards only while the
    // state shows it down too, so a release lost to a full buffer cannot leave it stuck; a
    // release still on its way is the first event of the next read and says the same.
    for (size_t k = 0; k < ShiftTracker::kCodes.size(); ++k) {
        const bool stateDown = state.key[static_cast<size_t>(ShiftTracker::kCodes[k])] == kKeyDown;
        shiftTracker.down[k] = seen[k] ? shift[k] : shiftTracker.down[k] && stateDown;
    }
}

}  // namespace orvel
