// An inert lobbied application: it accepts the registration and the availability and remembers
// them, but no lobby connection ever arrives. It stands until the lobby stand-in replaces it.
#include "platform/dx8/directx8.h"

namespace dx8 {

namespace {

class InertLobbiedApplication final : public DirectPlay8LobbiedApplication {
public:
    void RegisterMessageHandler(DirectPlay8LobbyEvent* handler) override {
        checkOpen();
        handler_ = handler;
    }
    void UnRegisterMessageHandler() override { handler_ = nullptr; }
    void RegisterProgram(const DPL_PROGRAM_DESC& programDesc, int32_t) override {
        checkOpen();
        program_ = programDesc;
        registered_ = true;
    }
    void UnRegisterProgram(const QString& guidApplication, int32_t) override {
        checkOpen();
        if (!registered_ || guidApplication != program_.guidApplication) {
            raise(DPNERR_DOESNOTEXIST);
        }
        registered_ = false;
    }
    void SetAppAvailable(bool fAvailable, int32_t) override {
        checkOpen();
        available_ = fAvailable;
    }
    DPL_CONNECTION_SETTINGS GetConnectionSettings(DPNHANDLE, int32_t) override {
        checkOpen();
        raise(DPNERR_INVALIDHANDLE);  // there is never a connection to ask about
    }
    void Close() override {
        handler_ = nullptr;
        available_ = false;
        closed_ = true;
    }

private:
    void checkOpen() const {
        if (closed_) {
            raise(DPNERR_UNINITIALIZED);
        }
    }

    DirectPlay8LobbyEvent* handler_ = nullptr;
    DPL_PROGRAM_DESC program_;
    bool registered_ = false;
    bool available_ = false;
    bool closed_ = false;
};

}  // namespace

std::shared_ptr<DirectPlay8LobbiedApplication> DirectX8::DirectPlayLobbiedApplicationCreate() {
    return std::make_shared<InertLobbiedApplication>();
}

}  // namespace dx8
