// tovu-ctl: a small command-line client of the engine, built on the client library. It registers,
// carries out its verbs in order, and unregisters (a started engine closes when its last client
// leaves).
//   ports                 list the output and input ports
//   open <id,id,...>      open these output devices for this client (copy-data 13)
//   send <hex word>       send one packed event with command 18 and print the result
//   sleep <ms>            wait, answering the engine meanwhile
//   panic | reload        commands 31 and 8
//   close                 ask the engine to close (WM_CLOSE) without registering
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client/tovu_client.h"

namespace {

int Usage() {
  fprintf(stderr, "usage: tovu-ctl close | <verb>... with verbs: ports, open <ids>, send <hex>, sleep <ms>, panic, reload\n");
  return 2;
}

int ListPorts(tovu::Client& c) {
  std::vector<tovu::OutputPortInfo> outs;
  std::vector<tovu::InputPortInfo> ins;
  int32_t ro = tovu::RequestOutputPorts(c, &outs);
  int32_t ri = tovu::RequestInputPorts(c, &ins);
  printf("output ports (command 2 result %d):\n", ro);
  for (size_t i = 0; i < outs.size(); ++i)
    printf("  %zu: device %u \"%s\" %s, sysex delay %d ms, short reset %u\n", i, outs[i].deviceId,
           outs[i].name.c_str(), outs[i].handle ? "open" : "closed", outs[i].sysexDelayMs, outs[i].shortReset);
  printf("input ports (command 24 result %d):\n", ri);
  for (size_t i = 0; i < ins.size(); ++i)
    printf("  %zu: device %u \"%s\" %s\n", i, ins[i].deviceId, ins[i].name.c_str(), ins[i].handle ? "open" : "closed");
  return 0;
}

int RunVerbs(tovu::Client& c, int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string verb = argv[i];
    bool hasArg = i + 1 < argc;
    if (verb == "ports") {
      ListPorts(c);
    } else if (verb == "open" && hasArg) {
      tovu::OpenPortsRequest request;
      for (char* tok = strtok(argv[++i], ","); tok; tok = strtok(nullptr, ","))
        request.outputDevices.push_back(static_cast<uint32_t>(strtoul(tok, nullptr, 10)));
      tovu::OpenPortsReply reply;
      if (!tovu::OpenPorts(c, request, &reply)) {
        fprintf(stderr, "tovu-ctl: no open-ports reply\n");
        return 1;
      }
      printf("open results:");
      for (int j = 0; j < reply.outputCount && j < 256; ++j) printf(" %d", reply.outputResults[j]);
      printf("\n");
    } else if (verb == "send" && hasArg) {
      printf("send %s: %d\n", argv[i + 1], tovu::SendShort(c, static_cast<uint32_t>(strtoul(argv[i + 1], nullptr, 16))));
      ++i;
    } else if (verb == "sleep" && hasArg) {
      tovu::PumpMessages(c, atoi(argv[++i]));
    } else if (verb == "panic") {
      printf("panic: %d\n", tovu::Panic(c));
    } else if (verb == "reload") {
      printf("reload: %d\n", tovu::ReloadSettings(c));
    } else {
      return Usage();
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  bool closeOnly = std::string(argv[1]) == "close";
  tovu::ConnectOptions options;
  options.startEngine = !closeOnly;
  tovu::Client c;
  if (!tovu::Connect(c, options)) {
    fprintf(stderr, "tovu-ctl: no engine answers\n");
    return 1;
  }
  if (closeOnly) {
    int status = tovu::CloseEngine(c) ? 0 : 1;
    tovu::Disconnect(c);
    return status;
  }
  if (tovu::Register(c) != 0) {
    fprintf(stderr, "tovu-ctl: registration refused\n");
    return 1;
  }
  int status = RunVerbs(c, argc, argv);
  tovu::Unregister(c);
  tovu::Disconnect(c);
  return status;
}
