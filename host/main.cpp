// tovu-engine: the engine process. It has no command line; the platform layer reads its
// environment (bus path, settings root, MIDI service).
#include "host/engine.h"

int main() { return EngineMain(); }
