// The device list: which controllers this server serves. Rebuilt on the main thread from the
// DBF folder tree, written out as Devices.txt, and looked up by the connection threads.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "logging/Journal.h"
#include "registry/DeviceSources.h"
#include "registry/Layout.h"
#include "registry/SerialList.h"
#include "service/Settings.h"

namespace orbitrace {

class TDeviceList {
 public:
  // `settings` gives DBFDir and ProgramDir; `busy` is the owner's DeviceListBusy flag, set
  // while an update runs; `requestRetry` asks for the update again one timer interval later
  // (the owner sets its request bit and restarts its rescan timer).
  TDeviceList(const TSettings& settings, const MutexSlot& listMutex, const MutexSlot& updateMutex,
              TJournal& journal, bool& busy, std::function<void()> requestRetry);

  // Rebuilds the list from the DBF tree and writes Devices.txt (main thread).
  void UpdateDeviceList();
  // Whether `serial` is served; false also when the list cannot be had within 2000 ms. Any
  // thread.
  bool IsDeviceServed(uint32_t serial) const;
  // Empties the list (service stop and destruction).
  void Clear();
  // A copy of the list (tests and tools).
  std::vector<TGSMEntry> Snapshot() const;

 private:
  void WriteDevicesFile(const std::vector<TGSMEntry>& entries) const;

  const TSettings& settings_;
  const MutexSlot& updateMutex_;
  TJournal& journal_;
  bool& busy_;
  std::function<void()> requestRetry_;
  TSortedSerialList<TGSMEntry> list_;
};

}  // namespace orbitrace
