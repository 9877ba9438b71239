#include "server/sync_controller.h"

#include <atomic>

namespace zv {
namespace {
std::atomic<SyncController*> g_controller{nullptr};
}  // namespace

SyncController& SyncController::Instance() {
  SyncController* controller = g_controller.load();
  if (controller == nullptr) throw 0;
  return *controller;
}

SyncController* SyncController::InstanceOrNull() { return g_controller.load(); }

SyncController::SyncController() {
  SyncController* expected = nullptr;
  if (!g_controller.compare_exchange_strong(expected, this)) throw 0;
}

SyncController::~SyncController() {
  SyncController* expected = this;
  g_controller.compare_exchange_strong(expected, nullptr);
}

}  // namespace zv
