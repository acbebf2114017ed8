// The engine on the jack service against a private JACK server (dummy driver) and a JACK client of
// the test's own ("sink", MIDI ports "in" and "out"), with one registered client of the engine.
// Shared by the tests that drive the engine through JACK.
// Threads: the test thread (and the sink's JACK thread).
#pragma once

#include <string>

#include "client/tovu_client.h"
#include "integration/support/engine_process.h"
#include "support/jack_server.h"

struct JackFixture {
  JackServer server;
  JackPeer peer;
  EngineEnv env;
  EngineProcess engine;
  tovu::Client c;

  // Test client, engine (client name `engineName`, or the default), one registered client; after
  // `server.Start()` (a test skips when it fails).
  bool Start(const std::string& engineName = "") {
    if (!peer.Open(server.name, "sink", {"in"}, {"out"})) return false;
    env.vars["TOVU_MIDI"] = "jack";
    env.vars["JACK_DEFAULT_SERVER"] = server.name;
    if (!engineName.empty()) env.vars["TOVU_JACK_CLIENT"] = engineName;
    return engine.Start(env, 10000) && env.ConnectRegistered(c);
  }
  // Opens output device 0 (sink:in) and, when `input` is given, that input device.
  bool Open(int32_t input = -1) {
    tovu::OpenPortsReply reply;
    return OpenPorts(c, {0}, input, 1, &reply) && reply.outputResults[0] == 0 &&
           (input < 0 || reply.inputResult == 0);
  }
  // Unregisters the last client: the engine closes by itself. Its exit status.
  int End() {
    tovu::Unregister(c);
    return engine.Wait(10000);
  }
};
