#include "ts/pid_checker.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "ts/packet_header.h"
#include "ts/program_tables.h"

namespace pelkan {
namespace {

enum : int { kPatTable = 1, kPmtTable = 2 };

PidContent ContentOfStreamType(uint8_t stream_type) {
  switch (stream_type) {
    case 0x01:  // MPEG-1 video
    case 0x02:  // MPEG-2 video
    case 0x10:  // MPEG-4 visual
    case 0x1B:  // H.264
    case 0x24:  // H.265
      return PidContent::kVideo;
    case 0x03:  // MPEG-1 audio
    case 0x04:  // MPEG-2 audio
    case 0x0F:  // AAC (ADTS)
    case 0x11:  // AAC (LATM)
    case 0x81:  // AC-3
      return PidContent::kAudio;
    case 0x06:  // PES private data: captions and superimposed text
      return PidContent::kCaption;
    default:
      return PidContent::kData;
  }
}

// A PID whose content a PAT or PMT may name: not one of the fixed table PIDs.
bool Assignable(PidContent c, bool pmt) {
  return c == PidContent::kUnknown || c >= PidContent::kVideo || (pmt && c == PidContent::kPmt);
}

}  // namespace

const char* PidContentName(PidContent content) {
  switch (content) {
    case PidContent::kPat:
      return "PAT";
    case PidContent::kPmt:
      return "PMT";
    case PidContent::kNit:
      return "NIT";
    case PidContent::kSdt:
      return "SDT";
    case PidContent::kEit:
      return "EIT";
    case PidContent::kTot:
      return "TOT";
    case PidContent::kVideo:
      return "video";
    case PidContent::kAudio:
      return "audio";
    case PidContent::kCaption:
      return "caption";
    case PidContent::kData:
      return "data";
    case PidContent::kUnknown:
      break;
  }
  return "";
}

class PidChecker::TableSink final : public SectionSink {
 public:
  explicit TableSink(PidChecker& c) : c_(c) {}
  void OnSection(int handler, const PacketHeader&, const SectionHeader& header, const uint8_t* section,
                 uint32_t length) override {
    c_.OnTable(handler, header, section, length);
  }

 private:
  PidChecker& c_;
};

PidChecker::PidChecker()
    : pids_(8192), content_(8192, PidContent::kUnknown), sink_(std::make_unique<TableSink>(*this)) {
  content_[0x0000] = PidContent::kPat;
  content_[0x0010] = PidContent::kNit;
  content_[0x0011] = PidContent::kSdt;
  content_[0x0012] = PidContent::kEit;
  content_[0x0026] = PidContent::kEit;
  content_[0x0027] = PidContent::kEit;
  content_[0x0014] = PidContent::kTot;
}

PidChecker::~PidChecker() = default;

void PidChecker::CheckAny(const uint8_t* p, uint64_t offset) {
  ++packets_checked_;
  const uint16_t pid = static_cast<uint16_t>((p[1] & 0x1F) << 8 | p[2]);
  if (pid == kNullPid) return;
  PidState& s = pids_[pid];
  s.seen = true;
  ++s.counts.packets;
  if (p[1] & 0x80) {
    ++s.counts.error;
    AddEvent(CheckEvent::Kind::kError, pid, offset);
  }
  const uint8_t flags = p[3];
  const bool scrambled = (flags & 0xC0) != 0;
  if (scrambled) ++s.counts.scrambled;
  if (scrambled != s.scrambling) {
    s.scrambling = scrambled;
    AddEvent(scrambled ? CheckEvent::Kind::kScramblingStart : CheckEvent::Kind::kScramblingEnd, pid, offset);
  }
  if (!(flags & 0x10)) return;  // no payload: the counter does not advance

  const uint8_t cc = flags & 0x0F;
  // adaptation_field_control 3: an adaptation field of at least one byte whose first byte holds
  // the discontinuity_indicator.
  const bool discontinuity = (flags & 0x20) && p[4] > 0 && (p[5] & 0x80);
  if (s.last_cc == kNoCounter || discontinuity) {
    s.repeated = false;
  } else if (cc == s.last_cc && !s.repeated) {
    s.repeated = true;
  } else {
    const uint8_t expected = static_cast<uint8_t>((s.last_cc + 1) & 0x0F);
    const uint32_t missing = static_cast<uint32_t>((cc - expected) & 0x0F);
    if (missing != 0) {
      s.counts.drop += missing;
      drops_ += missing;
      AddEvent(CheckEvent::Kind::kDrop, pid, offset, expected, cc, missing);
    }
    s.repeated = false;
  }
  s.last_cc = cc;

  if (pid == 0x0000) {
    assembler_.PushPayload(ParsePacketHeader(p), p + 4, kPatTable, *sink_);
  } else if (content_[pid] == PidContent::kPmt) {
    assembler_.PushPayload(ParsePacketHeader(p), p + 4, kPmtTable, *sink_);
  }
}

void PidChecker::AddEvent(CheckEvent::Kind kind, uint16_t pid, uint64_t offset, uint8_t expected,
                          uint8_t found, uint32_t missing) {
  ++event_count_;
  if (events_.size() >= kMaxEvents) return;
  CheckEvent e;
  e.kind = kind;
  e.pid = pid;
  e.expected = expected;
  e.found = found;
  e.missing = missing;
  e.offset = offset;
  events_.push_back(e);
}

void PidChecker::OnTable(int table, const SectionHeader& h, const uint8_t* section, uint32_t length) {
  if (table == kPatTable) {
    if (h.table_id != 0x00) return;
    for (const ProgramListEntry& e : ReadPatEntries(h, section, length)) {
      if (e.program_number == 0) {
        if (Assignable(content_[e.pmt_pid], true)) content_[e.pmt_pid] = PidContent::kNit;
        continue;
      }
      // A PAT never takes the table PIDs from what they are.
      if (Assignable(content_[e.pmt_pid], true)) content_[e.pmt_pid] = PidContent::kPmt;
      const auto it = std::lower_bound(services_.begin(), services_.end(), e.program_number);
      if (it == services_.end() || *it != e.program_number) services_.insert(it, e.program_number);
    }
  } else if (table == kPmtTable && h.table_id == 0x02) {
    for (const ComponentEntry& c : ReadPmtComponents(h, section, length)) {
      PidContent& content = content_[c.elementary_pid & 0x1FFF];
      // A component on a PID that a table already claims (a broken PMT) leaves the table's name.
      if (Assignable(content, false)) content = ContentOfStreamType(c.stream_type);
    }
  }
}

std::vector<std::pair<uint16_t, PidCounts>> PidChecker::Pids() const {
  std::vector<std::pair<uint16_t, PidCounts>> out;
  for (uint16_t pid = 0; pid < kNullPid; ++pid) {
    if (pids_[pid].seen) out.emplace_back(pid, pids_[pid].counts);
  }
  return out;
}

PidCounts PidChecker::Totals() const {
  PidCounts t;
  for (const PidState& s : pids_) {
    t.packets += s.counts.packets;
    t.drop += s.counts.drop;
    t.error += s.counts.error;
    t.scrambled += s.counts.scrambled;
  }
  return t;
}

std::vector<uint16_t> PidChecker::Services() const {
  return services_;
}

void PidChecker::StampEvents(size_t first, uint64_t from_offset, uint32_t from_tick, uint64_t to_offset,
                             uint32_t to_tick) {
  const uint64_t span = to_offset > from_offset ? to_offset - from_offset : 0;
  const uint32_t ticks = to_tick - from_tick;
  for (size_t i = first; i < events_.size(); ++i) {
    const uint64_t into =
        std::min(events_[i].offset > from_offset ? events_[i].offset - from_offset : 0, span);
    events_[i].tick = from_tick + (span == 0 ? ticks : static_cast<uint32_t>(into * ticks / span));
  }
}

std::vector<std::string> PidTableLines(const PidChecker& checker) {
  std::vector<std::pair<uint16_t, PidCounts>> rows = checker.Pids();
  const PidCounts totals = checker.Totals();
  // Column widths from the largest number of each column, which is the total's.
  const auto width = [](uint64_t v) { return static_cast<int>(std::to_string(v).size()); };
  const int wp = width(totals.packets), wd = width(totals.drop), we = width(totals.error),
            ws = width(totals.scrambled);
  const auto line = [&](const char* label, const PidCounts& c, const char* kind) {
    char text[192];
    std::snprintf(text, sizeof text, "%-10s  packets %*llu  drop %*llu  error %*llu  scrambled %*llu%s%s",
                  label, wp, static_cast<unsigned long long>(c.packets), wd,
                  static_cast<unsigned long long>(c.drop), we, static_cast<unsigned long long>(c.error), ws,
                  static_cast<unsigned long long>(c.scrambled), *kind ? "  " : "", kind);
    return std::string(text);
  };
  std::vector<std::string> lines;
  lines.reserve(rows.size() + 1);
  for (const auto& [pid, counts] : rows) {
    char label[16];
    std::snprintf(label, sizeof label, "PID 0x%04X", pid);
    lines.push_back(line(label, counts, PidContentName(checker.Content(pid))));
  }
  lines.push_back(line("total", totals, ""));
  return lines;
}

void PidChecker::RestartContinuity() {
  for (PidState& s : pids_) {
    s.last_cc = kNoCounter;
    s.repeated = false;
  }
}

}  // namespace pelkan
