#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/programme_change.h"
#include "streamgen/broadcast_generator.h"

namespace pelkan::cli {

class OptionParser;

// A bit rate as `generate --rate` and `capture --virtual-rate` take it: a positive number of bit/s,
// a fraction allowed, with a k or M suffix ("17M", "3.5M", "4000k"); false when it is none.
bool ParseBitRate(const char* text, uint64_t* out);

// Declares the repeatable options that change programmes of the synthetic broadcast, each read by
// ParseProgrammeChange into *changes: PREFIX + "late SERVICE:EVENT:SECONDS", PREFIX + "extend
// SERVICE:EVENT:SECONDS" and PREFIX + "undetermined SERVICE:EVENT" ("--" for generate, "--virtual-"
// for capture); `scope` starts each help text ("" or "virtual tuner only: ").
void DeclareProgrammeChanges(OptionParser& p, const std::string& prefix, const std::string& scope,
                             std::vector<ProgrammeChange>* changes);

// Why the broadcast `options` cannot be played with its programme changes, naming the option of the
// change at fault (PREFIX + "late 'VALUE'") or, for a combination, every change option; empty when
// it can. The other options are taken as good.
std::string ProgrammeChangesProblem(const std::string& prefix, const streamgen::GeneratorOptions& options);

}  // namespace pelkan::cli
