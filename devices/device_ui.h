// What the device layer asks of the user, as Qt-free interfaces. The device choice dialog and
// the key removal dialog implement them; tests implement them with scripted answers.
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstddef>
#include <string>
#include <vector>

#include "devices/device_kind.h"

namespace vq {

class CPSA;

// One usable device an enumeration found.
struct DeviceEntry {
    std::string reader;              // PC/SC reader name
    std::string serial;              // 16 characters, blank-padded as the module gives them
    CK_SLOT_ID slot = 0;             // module kind 1: PKCS#11 slot; kind 0: reader position
    int moduleKind = 1;              // 0 "gclib.dll", 1 "pkcs11.dll"
    std::vector<unsigned char> atr;  // the reader's card ATR (token test)
};

// The usable devices of one enumeration, in reader order, at most kMaxDeviceEntries.
using DeviceEntries = std::vector<DeviceEntry>;
inline constexpr std::size_t kMaxDeviceEntries = 10;

// Runs the device choice when two or more devices are usable. The chooser may refresh the
// entries in place with psa.ListDevices(deviceKind, entries) (a refresh after the user plugs a
// device in or out); the chosen row refers to the entries as they stand when it returns.
class IDeviceChooser {
  public:
    virtual ~IDeviceChooser() = default;
    // Row index of the chosen device, or -1 when the user cancelled.
    virtual int ChooseDevice(CPSA& psa, DeviceKind deviceKind, DeviceEntries& entries) = 0;
};

// The key removal choice: key objects are added before it runs; after OK the caller reads which
// object positions were chosen.
class IKeyRemovalChooser {
  public:
    static constexpr int kMaxObjects = 20;
    static constexpr std::size_t kMaxLabel = 127;

    virtual ~IKeyRemovalChooser() = default;
    // One key object; `label` holds at most kMaxLabel characters.
    virtual void AddKey(const std::string& label, const std::string& fingerprint, bool isPrivate,
                        CK_OBJECT_HANDLE handle) = 0;
    // Modal run: true for OK, false for Cancel.
    virtual bool Run() = 0;
    // After OK: for object positions 0..kMaxObjects-1 in the order they were added.
    virtual bool chosen(int index) const = 0;
    virtual CK_OBJECT_HANDLE handle(int index) const = 0;
    virtual std::string fingerprint(int index) const = 0;
};

}  // namespace vq
