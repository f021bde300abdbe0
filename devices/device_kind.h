// Which devices a device selection looks for. Integers from outside (0, 1, 2) become a kind in
// one place, DeviceKindFrom.
#pragma once

namespace vq {

enum class DeviceKind : int { SmartCard = 0, UsbToken = 1, Any = 2 };

// 0 smart cards, 1 USB tokens; every other number looks for any device, as it always did.
constexpr DeviceKind DeviceKindFrom(int number) {
    if (number == static_cast<int>(DeviceKind::SmartCard)) return DeviceKind::SmartCard;
    if (number == static_cast<int>(DeviceKind::UsbToken)) return DeviceKind::UsbToken;
    return DeviceKind::Any;
}

constexpr int DeviceKindNumber(DeviceKind kind) {
    return static_cast<int>(kind);
}

}  // namespace vq
