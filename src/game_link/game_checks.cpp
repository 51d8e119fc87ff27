#include "game_link/game_checks.h"

#include <chrono>

#include "common/orvel_globals.h"
#include "game_link/edition_check.h"
#include "game_link/game_memory_map.h"
#include "game_link/game_process.h"
#include "game_link/memory.h"
#include "platform/os/os_services.h"

namespace orvel::gamelink {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kAnswerKept = std::chrono::milliseconds(100);
bool tickAnswer = false;
Clock::time_point tickAnsweredAt{};
bool tickAnswered = false;
bool answerHeld = false;

}  // namespace

bool isRunning() {
    return FindGame(GameTitle).window != 0;
}

bool raceValuesOn() {
    const gamemap::Edition& edition = gamemap::edition(gameVersion);
    const float play = Memory::ReadGameSingle(GameTitle, static_cast<int32_t>(edition.playValue));
    const int32_t status =
        Memory::ReadGameLong(GameTitle, static_cast<int32_t>(edition.statusWord));
    // false for NaN as well; and a game of the other edition never races for Orvel
    return play > 0.0f && status == 0 && GameMatchesChosenEdition();
}

bool isPlaying() {
    return isRunning() && raceValuesOn();
}

bool isFocused() {
    // With no game attached there is nothing to have the focus, even when no window has it.
    return Memory::gameWindow != 0 && os::services().GetForegroundWindow() == Memory::gameWindow;
}

bool isPlayingLately() {
    if (tickAnswered && (answerHeld || Clock::now() - tickAnsweredAt < kAnswerKept)) {
        return tickAnswer;
    }
    return isPlaying();
}

void ForgetTickAnswer() {
    tickAnswered = false;
}

void holdTickAnswer(bool held) {
    answerHeld = held;
}

void noteTickAnswer(bool playing) {
    tickAnswer = playing;
    tickAnsweredAt = Clock::now();
    tickAnswered = true;
}

}  // namespace orvel::gamelink
