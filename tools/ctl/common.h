// What every verb of tovu-ctl shares: the exit statuses, the Ctrl-C flag, failures and usage errors
// in words, reading a whole file, and running a verb's CLI11 parser. The verbs are declared at the
// end; each family lives in a file of its own (info.cpp, play.cpp, record.cpp, small_verbs.cpp),
// the engine side and port names in session.h, the position display in display.h.
//
// Threads: the main thread only; the Ctrl-C handler only sets gInterrupted.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include "client/smf.h"

namespace CLI {
class App;
}

namespace ctl {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

// Set by Ctrl-C (SIGINT) and SIGTERM once CatchInterrupts has run.
extern volatile std::sig_atomic_t gInterrupted;
void CatchInterrupts();

// "tovu-ctl VERB: WHAT" and the pointer to the verb's help on standard error; kExitUsage.
int UsageError(const std::string& verb, const std::string& what);
// "tovu-ctl: WHAT" on standard error; kExitFailed.
int Failure(const std::string& what);
// Notification 10's error codes and the device results, in words.
std::string ErrorText(uint32_t code);
std::string MidiResultText(int32_t result);

// A whole file, or why it cannot be read (missing, a directory, not a regular file).
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error);
// Number of bars the song fills (a partial last bar counts).
int64_t BarCount(const tovu::SmfSong& song);
// "m:ss.mmm".
std::string Minutes(double seconds);

// Runs a CLI11 parser over `args`; -1 when parsed, else the exit status (0 after --help).
int Parse(CLI::App& app, const std::string& verb, std::vector<std::string> args);
// The footer and the option column's width every verb's help has.
void Configure(CLI::App& app, const char* footer);

// The verbs, each given the arguments after its name.
int Info(const std::vector<std::string>& args);
int Play(const std::vector<std::string>& args);
int Record(const std::vector<std::string>& args);
int Clock(const std::vector<std::string>& args);
// The small verbs chain: `args` from the first verb on.
bool IsSmallVerb(const std::string& word);
int SmallVerbs(const std::vector<std::string>& args);

}  // namespace ctl
