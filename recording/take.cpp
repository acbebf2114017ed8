// The take recorder's hooks into a playback. Nothing is recorded yet: there is nothing to echo or
// deliver.
#include "recording/recording.h"

#include "host/engine.h"

void ArmRecording(Engine&, int32_t, int32_t, bool) {}
int32_t EchoRecorded(Engine&, int32_t, int32_t) { return kNoRecordedTick; }
void RecordAt(Engine&, uint32_t, int32_t) {}
void DeliverTake(Engine&, uint32_t) {}
