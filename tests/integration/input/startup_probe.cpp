// Runs the keyboard part of the program's start-up and shutdown, as often as asked, and reports
// on standard output what the device read. Exit 0 when every step succeeded.
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>

#include "platform/dx8/directx8.h"

namespace {

class Counter : public dx8::DirectXEvent8 {
public:
    void DirectXEvent8_DXCallback(int32_t) override { ++calls; }
    int calls = 0;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 2;
    try {
        auto root = std::make_unique<dx8::DirectX8>();
        for (int round = 0; round < rounds; ++round) {
            auto input = root->DirectInputCreate();
            auto keyboard = input->CreateDevice(dx8::GUID_SysKeyboard);
            keyboard->SetCommonDataFormat(dx8::DIFORMAT_KEYBOARD);
            keyboard->SetCooperativeLevel(0, dx8::DISCL_NONEXCLUSIVE | dx8::DISCL_BACKGROUND);
            Counter counter;
            const int32_t event = root->CreateEvent(&counter);
            keyboard->SetEventNotification(event);
            dx8::DIPROPLONG prop;
            prop.lHow = dx8::DIPH_DEVICE;
            prop.lObj = 0;
            prop.lData = 10;
            keyboard->SetProperty(dx8::DIPROP_BUFFERSIZE, prop);
            keyboard->Acquire();
            dx8::DIKEYBOARDSTATE state;
            keyboard->GetDeviceStateKeyboard(state);
            int down = 0;
            for (uint8_t b : state.key) {
                down += b == 0x80;
            }
            dx8::DIDEVICEOBJECTDATA events[11];
            const int32_t n = keyboard->GetDeviceData(events, 11, 0);
            // Shutdown: the event goes first, then the device is dropped while still acquired.
            root->DestroyEvent(event);
            keyboard.reset();
            input.reset();
            std::printf("round %d: keys down %d, events %d\n", round, down, n);
        }
        root.reset();
    } catch (const dx8::DxError& e) {
        std::printf("failed: %s\n", qPrintable(dx8::hresultHex(e.code())));
        return 1;
    }
    std::printf("startup ok\n");
    return 0;
}
