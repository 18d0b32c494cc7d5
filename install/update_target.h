#pragma once

// The installation side of a selected device: transfers, installation,
// progress and reboot. Acquired and released together with the device.
// Results are HRESULTs, 0 meaning success.
class IUpdateTarget {
 public:
  virtual ~IUpdateTarget() = default;
};
