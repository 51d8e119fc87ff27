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
#include "ingame_chat/ingame_chat.h"

#include <QLoggingCategory>
#include <algorithm>
#include <exception>

#include "common/orvel_globals.h"
#include "game_link/game_checks.h"
#include "game_link/game_memory_map.h"
#include "game_link/message_area.h"
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
constexpr std::array<int16_t, 2> kShiftCodes{dx8::DIK_LSHIFT, dx8::DIK_RSHIFT};

bool isPress(const dx8::DIDEVICEOBJECTDATA& e) {
    return e.lData == kPressData;
}

bool sameDevice(const std::weak_ptr<dx8::DirectInputDevice8>& seen,
                const std::shared_ptr<dx8::DirectInputDevice8>& current) {
    return !seen.expired() && !seen.owner_before(current) && !current.owner_before(seen);
}

}  // namespace

InGameChat::InGameChat(const ModDplay& objects, RaceSession& session,
                       std::function<QString()> lastChatLine)
    : objects_(objects), session_(session), lastChatLine_(std::move(lastChatLine)) {}

void InGameChat::sendInputLine() {
    const QString line = gameChatText.mid(gamelink::kInputPrompt.size()).toLower();
    try {
        if (lineEntered_) {
            lineEntered_(line);
        }
        session_.sendChat(line);
    } catch (const std::exception& e) {
        // The game's line is cleared and closed all the same.
        qCDebug(lcInGame) << "sending the line failed:" << e.what();
    }
    // One NUL, without the value before it, and whether or not a race is on.
    gamelink::CloseInputLine();
    gameChatOpen = false;
    gameChatText.clear();
}

void InGameChat::editInputLine(int16_t code, bool shift) {
    if (code == dx8::DIK_RETURN) {
        sendInputLine();
        return;
    }
    if (code == dx8::DIK_BACK) {
        if (gameChatText.size() > gamelink::kInputPrompt.size()) {
            gameChatText.chop(1);
        }
    } else if (gameChatText.size() < gamemap::kInputLineMaxText) {
        gameChatText += KeyToChar(code, shift);
    }
    // Also when nothing changed: the game shows the line again as it is, while a race is on.
    if (gamelink::isPlaying()) {
        gamelink::ShowInputLine(gameChatText);
    }
}

void InGameChat::openInputLine() {
    gameChatOpen = true;
    gameChatText = gamelink::kInputPrompt;
    gamelink::OpenInputLine(lastChatLine_ ? lastChatLine_() : QString(), gameChatText);
}

// One key that went down.
void InGameChat::handleKey(int16_t code, bool shift) {
    qCDebug(lcInGame) << "key" << code << "shift" << shift << "line open" << gameChatOpen;
    if (gameChatOpen && gamelink::isRunning() && gamelink::isFocused()) {
        editInputLine(code, shift);
    } else {
        // Left behind in the game as it was; nothing is written.
        gameChatOpen = false;
    }
    // The T that opens the line is not typed into it; while open, T is a letter like any other.
    // The key is looked at before the game is asked, which spares every other key two reads of
    // the game's memory and two round trips to the window system.
    if (!gameChatOpen && KeyToChar(code, false) == QLatin1String("T") && gamelink::isPlaying() &&
        gamelink::isFocused()) {
        openInputLine();
    }
}

void InGameChat::DirectXEvent8_DXCallback(int32_t eventid) {
    const int32_t keyboardEvent = objects_.keyboardEvent;
    if (eventid != keyboardEvent || keyboardEvent == 0 || !objects_.diKeyboard) {
        return;
    }
    // Held for the whole notification: sending a line must not pull the device away under it.
    const std::shared_ptr<dx8::DirectInputDevice8> keyboard = objects_.diKeyboard;

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
    if (!sameDevice(shiftDevice_, keyboard)) {
        shiftDevice_ = keyboard;
        shiftDown_ = {};
    }
    std::array<bool, 2> seen{};
    std::array<bool, 2> shift{};
    for (size_t k = 0; k < kShiftCodes.size(); ++k) {
        for (int32_t i = 0; i < count && !seen[k]; ++i) {
            const dx8::DIDEVICEOBJECTDATA& e = events[static_cast<size_t>(i)];
            if (e.lOfs == kShiftCodes[k]) {
                seen[k] = true;
                shift[k] = !isPress(e);
            }
        }
        if (!seen[k]) {
            shift[k] = shiftDown_[k] || state.key[static_cast<size_t>(kShiftCodes[k])] == kKeyDown;
        }
    }

    for (int32_t i = 0; i < count; ++i) {
        const dx8::DIDEVICEOBJECTDATA& e = events[static_cast<size_t>(i)];
        for (size_t k = 0; k < kShiftCodes.size(); ++k) {
            if (e.lOfs == kShiftCodes[k]) {
                shift[k] = isPress(e);
            }
        }
        if (isPress(e) && e.lOfs >= 0 && e.lOfs <= kLastChatKey) {
            handleKey(static_cast<int16_t>(e.lOfs), shift[0] || shift[1]);
        }
    }

    // Without an event of its own here, a Shift key counts as down afterwards only while the
    // state shows it down too, so a release lost to a full buffer cannot leave it stuck; a
    // release still on its way is the first event of the next read and says the same.
    for (size_t k = 0; k < kShiftCodes.size(); ++k) {
        const bool stateDown = state.key[static_cast<size_t>(kShiftCodes[k])] == kKeyDown;
        shiftDown_[k] = seen[k] ? shift[k] : shiftDown_[k] && stateDown;
    }
}

}  // namespace orvel
