#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/mjd_time.h"
#include "base/programme_change.h"
#include "platform/broadcast_text.h"
#include "usb/driver_config.h"

namespace pelkan::cli {

class OptionParser;

// What `pelkan-cli capture` was asked to do, as its options give it.
struct CaptureOptions {
  int device = 0;
  std::optional<uint32_t> in_address;
  std::optional<uint32_t> out_address;
  bool initialise = false;
  bool descramble = false;
  std::string record;     // UTF-8; checked to have a Shift-JIS form
  bool force = false;     // --record FILE may replace an existing file
  uint64_t limit_ms = 0;  // 0: until interrupted (or until the recording's stop)
  std::optional<int32_t> dropout_wait;  // --dropout-wait MINUTES; none: DROPOUT_WAIT
  bool limit_in_minutes = false;
  std::string send_host;  // empty: no sending
  int send_port = 0;
  std::optional<uint32_t> send_size;
  std::optional<std::string> http_address;  // --http ADDR:PORT; nullopt: HTTP_ADDRESS (loopback)
  std::optional<int> http_port;             // no HTTP server without it; 0: a free port
  std::optional<int> http_clients;
  std::vector<uint16_t> services;
  bool print_services = false;
  bool json = false;
  uint32_t status_every_ms = 1000;  // how often the status line is printed
  platform::SymbolForm symbols = platform::SymbolForm::kSymbols;
  bool schedule = false;
  bool epg = false;  // fill the guide this run, whatever PROC_EPG says
  std::optional<MjdTime> virtual_start;
  uint32_t virtual_speed = 1;
  std::optional<uint64_t> virtual_rate;  // bit/s of the synthetic broadcast; none: VIRTUAL_RATE or 17M
  std::vector<ProgrammeChange> virtual_changes;  // --virtual-late, --virtual-extend, --virtual-undetermined
  std::optional<usb::DriverConfig::Dropout> virtual_dropout;  // --virtual-dropout AT:FOR
};

// The message prefix of the command.
inline constexpr char kCaptureName[] = "pelkan-cli capture";

// The command's option parser, filling *o (which must outlive it).
OptionParser CaptureOptionParser(CaptureOptions* o);

// Parses the command's arguments into *o. nullopt: go on; otherwise the exit code (0 after --help,
// 2 after bad arguments, both with the usage printed).
std::optional<int> ParseCaptureOptions(int argc, char** argv, CaptureOptions* o);

}  // namespace pelkan::cli
