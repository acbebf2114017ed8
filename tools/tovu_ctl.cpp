// tovu-ctl: a small command-line client of the engine, built on the client library.
//   tovu-ctl ports              list the output and input ports (starts the engine if needed)
//   tovu-ctl send <hex word>    send one packed event with command 18 and print the result
//   tovu-ctl panic              command 31
//   tovu-ctl reload             command 8
//   tovu-ctl close              ask the engine to close (WM_CLOSE)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client/tovu_client.h"

namespace {

int Usage() {
  fprintf(stderr, "usage: tovu-ctl ports | send <hex word> | panic | reload | close\n");
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

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string verb = argv[1];
  tovu::ConnectOptions options;
  options.startEngine = verb != "close";
  tovu::Client c;
  if (!tovu::Connect(c, options)) {
    fprintf(stderr, "tovu-ctl: no engine answers\n");
    return 1;
  }
  // Registering keeps a freshly started engine alive for the length of the command.
  bool registered = verb != "close" && tovu::Register(c) == 0;
  int status = 0;
  if (verb == "ports") {
    status = ListPorts(c);
  } else if (verb == "send" && argc >= 3) {
    printf("%d\n", tovu::SendShort(c, static_cast<uint32_t>(strtoul(argv[2], nullptr, 16))));
  } else if (verb == "panic") {
    printf("%d\n", tovu::Panic(c));
  } else if (verb == "reload") {
    printf("%d\n", tovu::ReloadSettings(c));
  } else if (verb == "close") {
    status = tovu::CloseEngine(c) ? 0 : 1;
  } else {
    status = Usage();
  }
  if (registered) tovu::Unregister(c);
  tovu::Disconnect(c);
  return status;
}
