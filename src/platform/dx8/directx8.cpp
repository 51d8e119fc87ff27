#include "platform/dx8/directx8.h"

namespace dx8 {

DirectX8::DirectX8() = default;
DirectX8::~DirectX8() = default;

}  // namespace dx8
