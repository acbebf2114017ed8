// Test support: tests/smf/make_midi.py, the independent writer and reader of MIDI files (mido) that
// the file tests compare against, run with the distribution's python3, and readers of its output.
// Header only, so that both test programs share it.
#pragma once

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// Runs the script with `args` (a shell command line, so "dump a.mid > a.txt" works): true on success.
inline bool RunMidoWriter(const std::string& args) {
  std::string command = "/usr/bin/python3 " TOVU_SOURCE_DIR "/tests/smf/make_midi.py " + args;
  return std::system(command.c_str()) == 0;
}

// What a written file must make the outputs receive, from the script's list of
// "<seconds> <port> <hex bytes>" lines: the time and "out<port> <hex bytes>".
struct ExpectedSend {
  double seconds;
  std::string text;
};

inline std::vector<ExpectedSend> ReadExpectedSends(const std::string& path) {
  std::vector<ExpectedSend> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    double seconds;
    int port;
    fields >> seconds >> port;
    std::string rest;
    std::getline(fields, rest);
    out.push_back({seconds, "out" + std::to_string(port) + rest});
  }
  return out;
}

// mido's reading of a file, written to `out` on the way: "<track> <tick> <type> <field>=<value>..."
// per message, fields sorted. Empty when the script fails.
inline std::vector<std::string> MidoDump(const std::string& file, const std::string& out) {
  std::vector<std::string> lines;
  if (!RunMidoWriter("dump " + file + " > " + out)) return lines;
  std::ifstream in(out);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}
