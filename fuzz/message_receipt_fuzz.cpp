// The race session's receipt of every message kind as the main window shows it, with players
// joining and leaving between messages. The input is a small script: each step adds a player,
// removes one, or delivers a message from one. A game in the middle of a race stands behind fake
// OS services: the roster and the car slots must stay consistent whatever arrives, a chat line
// that decodes must be the line the window shows, and a car state may only write the car record
// of its sender's slot.
#include <QApplication>
#include <QListWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <cstddef>
#include <cstdint>
#include <variant>

#include <cstring>
#include <vector>

#include "common/orvel_globals.h"
#include "common/shown_text.h"
#include "fuzz_support.h"
#include "game_link/game_memory_map.h"
#include "game_link/memory.h"
#include "main_window/chat_history_box.h"
#include "main_window/frm_chat.h"
#include "platform/os/os_services.h"
#include "session/mod_dplay.h"
#include "session/wire_messages.h"

namespace {

// One game window, one process, its data range racing; every write is noted.
class FakeGame : public orvel::os::OsServices {
public:
    static constexpr uint32_t kBegin = 0x536000, kEnd = 0x5FF000;
    std::vector<uint8_t> data = std::vector<uint8_t>(kEnd - kBegin);
    std::vector<std::pair<uint32_t, size_t>> writes;

    orvel::os::WindowHandle FindWindowA(const QString&) override { return 9; }
    uint32_t GetWindowThreadProcessId(orvel::os::WindowHandle) override { return 12; }
    orvel::os::WindowHandle GetForegroundWindow() override { return 0; }
    orvel::os::ProcessHandle OpenProcess(uint32_t, bool, uint32_t, orvel::os::OpenError*) override {
        return 1;
    }
    bool VirtualProtectEx(orvel::os::ProcessHandle, uint32_t, uint32_t, uint32_t,
                          uint32_t*) override {
        return true;
    }
    bool ReadProcessMemory(orvel::os::ProcessHandle, uint32_t a, void* to, size_t n,
                           size_t* done) override {
        const bool ok = a >= kBegin && a + n <= kEnd;
        if (ok)
            std::memcpy(to, data.data() + (a - kBegin), n);
        if (done)
            *done = ok ? n : 0;
        return ok;
    }
    bool WriteProcessMemory(orvel::os::ProcessHandle, uint32_t a, const void* from, size_t n,
                            size_t* done) override {
        const bool ok = a >= kBegin && a + n <= kEnd;
        if (ok)
            std::memcpy(data.data() + (a - kBegin), from, n);
        writes.emplace_back(a, n);
        if (done)
            *done = ok ? n : 0;
        return ok;
    }
    bool CloseHandle(orvel::os::ProcessHandle) override { return true; }

    void racing() {
        const orvel::gamemap::Edition& e = orvel::gamemap::edition(orvel::gameVersion);
        const float play = 12.5f;
        const int32_t status = 0;
        std::memcpy(data.data() + (e.playValue - kBegin), &play, 4);
        std::memcpy(data.data() + (e.statusWord - kBegin), &status, 4);
    }
};

// Never destroyed: libFuzzer ends the process with exit(), and Qt's widgets must not be torn
// down by static destructors after their application.
QApplication* app = nullptr;
orvel::ModDplay* objects = nullptr;
orvel::frmChat* window = nullptr;
FakeGame* game = nullptr;

orvel::SlotPlayerIds& carSlots() {
    return objects->raceSession.slotPlayerIds();
}

int slotOf(dx8::DPNID id) {
    for (int n = orvel::SlotPlayerIds::kFirst; id != 0 && n <= orvel::SlotPlayerIds::kLast; ++n) {
        if (carSlots()(n) == id)
            return n;
    }
    return 0;
}

// A new main window on a new race session: the roster and the car slots start empty together.
void freshWindow() {
    delete window;
    delete objects;
    objects = new orvel::ModDplay;
    window = new orvel::frmChat(*objects);
    window->Timer1->stop();
    window->localPlayerName = QStringLiteral("Ann");
    orvel::Memory::AttachGame(orvel::GameTitle);
}

void checkSlots() {
    for (int a = orvel::SlotPlayerIds::kFirst; a <= orvel::SlotPlayerIds::kLast; ++a) {
        for (int b = a + 1; b <= orvel::SlotPlayerIds::kLast; ++b) {
            const uint32_t id = carSlots()(a);
            FUZZ_CHECK(id == 0 || id != carSlots()(b));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qunsetenv("DISPLAY");
    auto* config = new QTemporaryDir;
    qputenv("XDG_CONFIG_HOME", config->path().toLocal8Bit());
    app = new QApplication(*argc, *argv);
    game = new FakeGame;
    game->racing();
    orvel::os::setServices(game);
    freshWindow();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Each input starts from an empty window: a history grown by earlier inputs only slows the
    // run down, as every line rewrites the whole of it.
    freshWindow();
    bool reject = false;
    size_t at = 0;
    for (int step = 0; step < 32 && at + 2 <= size; ++step) {
        const uint8_t op = data[at] % 4;
        const dx8::DPNID id = data[at + 1] % 9;  // 0 is the all-players group, never a sender
        at += 2;
        if (op == 0) {
            objects->raceSession.DirectPlay8Event_CreatePlayer(id, reject);
        } else if (op == 1) {
            objects->raceSession.DirectPlay8Event_DestroyPlayer(id, 0, reject);
        } else {
            size_t length = size - at;
            if (op == 2 && at < size) {
                length = data[at++];
                length = length > size - at ? size - at : length;
            }
            dx8::DPNMSG_RECEIVE message;
            message.idSender = id;
            message.ReceivedData = QByteArray(reinterpret_cast<const char*>(data + at),
                                              static_cast<qsizetype>(length));
            at += length;
            const QString before = window->lastChatLine;
            game->writes.clear();
            objects->raceSession.DirectPlay8Event_Receive(message, reject);
            // Read as the race session reads it: chat cut at its cap, shown cleaned.
            const orvel::DecodedMessage decoded =
                orvel::DecodeMessage(message.ReceivedData, orvel::kMaxChatBytes);
            if (std::holds_alternative<orvel::CarStateUpdate>(decoded) && slotOf(id) != 0 &&
                !objects->raceSession.saysNoGame(id)) {
                const uint32_t record = orvel::gamemap::carRecord(orvel::gameVersion, slotOf(id));
                FUZZ_CHECK(!game->writes.empty());
                for (const auto& w : game->writes) {
                    FUZZ_CHECK(w.first >= record && w.first + w.second <= record + 0x11B4);
                }
            } else if (!std::holds_alternative<orvel::TextMessage>(decoded)) {
                FUZZ_CHECK(game->writes.empty());
            }
            if (const auto* text = std::get_if<orvel::TextMessage>(&decoded)) {
                FUZZ_CHECK(window->lastChatLine.endsWith(
                    orvel::shownText(text->text, orvel::kMaxChatBytes)));
                FUZZ_CHECK(window->lastChatLine.contains(window->PlayerNameFromId(id)));
            } else {
                FUZZ_CHECK(window->lastChatLine == before);
            }
        }
        checkSlots();
    }
    return 0;
}
