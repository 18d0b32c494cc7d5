#pragma once
// Runs vorn-instrument-sim from the build tree as a child process for a test:
// its standard input is a pipe (closing it stops the simulator) and its
// standard output is read line by line.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CInstrumentSimulator {
 public:
  CInstrumentSimulator();
  ~CInstrumentSimulator();  // stops it
  CInstrumentSimulator(const CInstrumentSimulator&) = delete;
  CInstrumentSimulator& operator=(const CInstrumentSimulator&) = delete;

  // Starts the simulator with the arguments and waits until it prints its
  // "ready" line. False (with the reason in error) if it does not.
  bool Start(const std::vector<std::string>& arguments, std::string& error);
  // The next line of its output without the line end, waiting at most timeoutMs.
  bool ReadLine(std::string& line, std::uint32_t timeoutMs);
  // Closes its input and waits for it to end; ends it by force after a while.
  void Stop();

 private:
  struct Process;
  std::unique_ptr<Process> process_;
  std::string pending_;  // output read but not yet returned as a line
};

// A name no other test run uses at the same time (block names are machine-wide).
std::string UniqueInstrumentKey(const std::string& prefix);

// Whether the simulator's "connections 0" follows when the service lets go of
// its last reference. Not under Wine, whose Global Interface Table keeps a
// reference to the instrument for every entry it ever held.
bool InstrumentSeesTheLastReferenceGo();
