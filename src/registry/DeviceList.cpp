#include "registry/DeviceList.h"

#include <cstdio>
#include <exception>

namespace orbitrace {

TDeviceList::TDeviceList(const TSettings& settings, const MutexSlot& listMutex,
                         const MutexSlot& updateMutex, TJournal& journal, bool& busy,
                         std::function<void()> requestRetry)
    : settings_(settings),
      updateMutex_(updateMutex),
      journal_(journal),
      busy_(busy),
      requestRetry_(std::move(requestRetry)),
      list_(listMutex) {}

void TDeviceList::UpdateDeviceList() {
  journal_.WriteJournal("Обновление списка приборов.");
  busy_ = true;
  NamedMutex* update = updateMutex_.get();
  if (!WaitAcquired(update, kDeviceUpdateWaitMs)) {
    journal_.WriteJournal("Обновление уже выполняется.");
  } else {
    try {
      TDeviceListBuilder builder;
      ScanDeviceSources(settings_.DBFDir, "", builder);
      std::vector<TGSMEntry> entries = builder.TakeSorted();
      WriteDevicesFile(entries);
      if (list_.Swap(entries, kDeviceSwapWaitMs)) {
        // `entries` now holds the old list; it is freed here, outside the lock.
      } else {
        journal_.WriteJournal("Список приборов заблокирован. Обновление отменено");
        if (requestRetry_) requestRetry_();
      }
    } catch (const std::exception& e) {
      busy_ = false;
      journal_.WriteJournal(std::string("Ошибка при обновлении списка приборов: ") + e.what());
    }
    update->Release();
  }
  busy_ = false;
  journal_.WriteJournal("Обновление списка приборов завершено.");
}

void TDeviceList::WriteDevicesFile(const std::vector<TGSMEntry>& entries) const {
  TListFileWriter out;
  if (!out.Open(settings_.ProgramDir + "/" + kDevicesFile)) return;
  char line[32];
  for (const TGSMEntry& e : entries) {
    const int n = std::snprintf(line, sizeof line, "%05u\r\n", e.Serial);
    out.WriteLine(std::string_view(line, static_cast<size_t>(n)));
  }
  out.Close();
}

bool TDeviceList::IsDeviceServed(uint32_t serial) const {
  return list_.Contains(serial, kDeviceLookupWaitMs);
}

void TDeviceList::Clear() {
  list_.ForceClear(kDeviceClearWaitMs);
}

std::vector<TGSMEntry> TDeviceList::Snapshot() const {
  return list_.Snapshot(kDeviceLookupWaitMs);
}

}  // namespace orbitrace
