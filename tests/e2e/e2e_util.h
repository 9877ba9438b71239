// Small helpers shared by the end-to-end test files.
#pragma once

#include <string>

#include "client/appliance_client.h"
#include "server_harness.h"

namespace zv::e2e {

inline LoginRequest MakeLogin(const std::string& user, const std::string& password,
                              uint32_t device) {
  LoginRequest request;
  request.user = user;
  request.password = password;
  request.device_id = device;
  return request;
}

// Connects to the server of home and exchanges the version texts.
inline bool ConnectAndHandshake(ApplianceClient* client, const ServerHome& home) {
  return client->Connect("127.0.0.1", home.sync_port()) && client->Handshake("e2e test");
}

// Connects, shakes hands and logs in; the answer.
inline LoginAnswer LoginOnce(ApplianceClient* client, const ServerHome& home,
                             const LoginRequest& request) {
  if (!ConnectAndHandshake(client, home)) return LoginAnswer();
  return client->Login(request);
}

// True while the session of client still answers a pending marker.
inline bool SessionAlive(ApplianceClient* client) {
  if (!client->SendPendingMarker()) return false;
  ReceivedBlock block;
  return client->ReceiveBlock(&block) == IoStatus::kOk && block.command == kCmdPending &&
         block.Value() == kPendingEcho;
}

}  // namespace zv::e2e
