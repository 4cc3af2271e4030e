#include "output/recording_report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "output/file_recorder.h"
#include "output/recording_file.h"
#include "platform/clock.h"
#include "ts/pid_checker.h"

namespace pelkan {
namespace {

// Room set aside for the final text when the name is claimed: a header, a few hundred PIDs and
// the 1,000 events.
constexpr off_t kRoom = 256 * 1024;
constexpr char kTitle[] = "Pelkan recording report\n";

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

// "key                 value\n"
std::string Line(const char* key, const std::string& value) {
  return Format("%-18s  ", key) + value + "\n";
}

std::string DateTime(MjdTime t) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  MjdToDate(t.date, &y, &mo, &d);
  SecondsToHms(t.seconds, &h, &mi, &s);
  return Format("%04d-%02d-%02d %02d:%02d:%02d", y, mo, d, h, mi, s);
}

// Local time and, once one is known, the broadcast clock.
std::string When(MjdTime local, MjdTime broadcast) {
  std::string text = DateTime(local);
  if (broadcast.date != 0) text += " (broadcast " + DateTime(broadcast) + ")";
  return text;
}

std::string Duration(uint32_t ms, bool with_ms) {
  const uint32_t s = ms / 1000;
  if (!with_ms) return Format("%u:%02u:%02u", s / 3600, s / 60 % 60, s % 60);
  return Format("%u:%02u:%02u.%03u", s / 3600, s / 60 % 60, s % 60, ms % 1000);
}

// What the plan took of a recording: its head (`head_seconds` to `head_by`) and, when `tail`, its
// tail (to `tail_by`). The words after "partial: ".
std::string CutText(uint32_t head_seconds, const std::string& head_by, bool tail, const std::string& tail_by) {
  std::string text;
  if (head_seconds > 0) {
    text = "started " + Duration(head_seconds * 1000, false) + " late for " +
           (head_by.empty() ? std::string("another reservation") : head_by);
  }
  if (tail) {
    text += (text.empty() ? "" : ", ") + std::string("cut short for ") +
            (tail_by.empty() ? std::string("another reservation") : tail_by);
  }
  return text;
}

std::string ResultText(RecordingEnd how, int error, const std::string& reason, uint32_t gap_ms,
                       const std::string& cut) {
  switch (how) {
    case RecordingEnd::kTunerLost:
      return "tuner lost" + (reason.empty() ? std::string() : ": " + reason);
    case RecordingEnd::kCutByPlan:
      return "partial: " + cut;
    case RecordingEnd::kGivenUp:
      return "stopped: " + (reason.empty() ? std::string("the programme was given up") : reason);
    case RecordingEnd::kComplete:
      return gap_ms > 0 ? "recovered (gap " + Duration(gap_ms, false) + ")" : std::string("complete");
    case RecordingEnd::kWriteFailed:
      return std::string("stopped: the file could not be written (") +
             std::strerror(error != 0 ? error : EIO) + ")";
    case RecordingEnd::kLowDisk:
      return "stopped: 200 MiB or less free on the disk";
    case RecordingEnd::kCaptureEnded:
      return "stopped before the reservation's end: the capture ended";
  }
  return std::string();
}

std::string EventText(const CheckEvent& e) {
  switch (e.kind) {
    case CheckEvent::Kind::kDrop:
      return Format("drop %u (counter expected %u, found %u)", e.missing, e.expected, e.found);
    case CheckEvent::Kind::kError:
      return "error (transport_error_indicator)";
    case CheckEvent::Kind::kScramblingStart:
      return "scrambling starts";
    case CheckEvent::Kind::kScramblingEnd:
      return "scrambling ends";
  }
  return std::string();
}

bool WriteAll(int fd, const std::string& text, off_t at) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = ::pwrite(fd, text.data() + done, text.size() - done, at + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Programme changes kept per service.
constexpr size_t kMaxProgrammes = 50;

}  // namespace

RecordingReport::RecordingReport(const std::string& recording_path, const CaptureSample& start,
                                 MjdTime local_start, bool replace)
    : recording_path_(recording_path), start_(start), end_(start), local_start_(local_start) {
  if (local_start_.date == 0) local_start_ = UnpackMjdTime(LocalMjdTime());
  start_tick_ = platform::TickCount();
  last_broadcast_time_ = start.broadcast_time;
  sync_losses_.last = start.sync_losses;
  fifo_overflows_.last = start.fifo_overflows;
  failed_transfers_.last = start.failed_transfers;
  struct stat st {};
  regular_ = ::stat(recording_path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  if (regular_) Claim(replace);
}

RecordingReport::~RecordingReport() = default;

bool RecordingReport::Claim(bool replace) {
  const std::string base = recording_path_ + ".err";
  struct stat st {};
  // Only a regular file of the name is replaced; anything else keeps its place.
  replace = replace && ::lstat(base.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  for (unsigned n = 0; n <= kMaxNumberedNames; ++n) {
    const std::string candidate = n == 0 ? base : NumberedName(base, n);
    const int exclusive = replace && n == 0 ? O_TRUNC : O_EXCL;
    const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | exclusive | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return false;
    }
    path_ = candidate;
    claimed_ = true;
    const std::string text = std::string(kTitle) + Line("file", recording_path_) +
                             Line("result", "recording since " + DateTime(local_start_) +
                                                " (this report is completed when the recording ends)");
    WriteAll(fd, text, 0);
    // The final text may have to go here when the disk is full by then.
    ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, kRoom);
    ::close(fd);
    return true;
  }
  return false;
}

void RecordingReport::SetReservation(std::string title, std::string programme) {
  title_ = std::move(title);
  programme_ = std::move(programme);
}

void RecordingReport::SetHeadCut(uint32_t seconds, std::string by) {
  head_cut_seconds_ = seconds;
  head_cut_by_ = std::move(by);
}

void RecordingReport::NoteServiceName(uint16_t service_id, std::string name) {
  if (!name.empty()) names_[service_id] = std::move(name);
}

void RecordingReport::NoteProgramme(uint16_t service_id, std::string title) {
  std::vector<std::string>& seen = programmes_[service_id];
  if (title.empty() || (!seen.empty() && seen.back() == title) || seen.size() >= kMaxProgrammes) return;
  seen.push_back(std::move(title));
}

void RecordingReport::NoteFollow(MjdTime at, uint64_t offset, std::string text) {
  constexpr size_t kMaxFollowNotes = 200;
  if (follow_.size() < kMaxFollowNotes) follow_.push_back({at, offset, std::move(text)});
}

void RecordingReport::NoteGap(const Gap& gap) {
  constexpr size_t kMaxGaps = 200;
  if (gaps_.size() < kMaxGaps) gaps_.push_back(gap);
}

std::vector<uint64_t> RecordingReport::GapOffsets(std::string_view text) {
  std::vector<uint64_t> offsets;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    const size_t at = line.rfind("  offset ");
    if (line.substr(0, 5) != "gap  " || at == std::string_view::npos) continue;
    uint64_t offset = 0;
    const std::string_view digits = line.substr(at + 9);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) continue;
    for (char c : digits) offset = offset * 10 + static_cast<uint64_t>(c - '0');
    offsets.push_back(offset);
  }
  return offsets;
}

void RecordingReport::Sample(const CaptureSample& now) {
  if (now.broadcast_time.date != 0) {
    last_broadcast_time_ = now.broadcast_time;
    if (start_.broadcast_time.date == 0) {
      // The clock came after the start (the first time table arrived meanwhile): counted back.
      start_.broadcast_time = now.broadcast_time;
      AddSeconds(&start_.broadcast_time, -static_cast<int64_t>((platform::TickCount() - start_tick_) / 1000));
    }
  }
  sync_losses_.Take(now.sync_losses);
  fifo_overflows_.Take(now.fifo_overflows);
  failed_transfers_.Take(now.failed_transfers);
}

RecordingSummary RecordingReport::Finish(const CaptureSample& end, const FileRecorder& recorder,
                                         RecordingEnd how, int error, MjdTime local_end) {
  Sample(end);
  end_ = end;
  end_.broadcast_time = last_broadcast_time_;
  if (local_end.date == 0) local_end = UnpackMjdTime(LocalMjdTime());
  RecordingSummary summary;
  summary.report_path = regular_ ? path_ : std::string();
  // A recording whose head the plan took is partial even when it ran to its end.
  const bool tail_cut = how == RecordingEnd::kCutByPlan;
  if (how == RecordingEnd::kComplete && head_cut_seconds_ > 0) how = RecordingEnd::kCutByPlan;
  if (how == RecordingEnd::kCutByPlan) summary.cut = CutText(head_cut_seconds_, head_cut_by_, tail_cut, end_reason_);
  summary.end = how;
  summary.sync_losses = sync_losses_.total;
  summary.fifo_overflows = fifo_overflows_.total;
  summary.failed_transfers = failed_transfers_.total;
  summary.gaps = static_cast<uint32_t>(gaps_.size());
  summary.whole_programme = span_ && span_->start_offset && span_->end_offset;

  const uint32_t open_tick = recorder.GetOpenTick();
  std::string t = kTitle;
  t += Line("file", recording_path_);
  uint32_t gap_ms = 0;
  for (const Gap& g : gaps_) gap_ms += g.length_ms;
  t += Line("result", ResultText(how, error, end_reason_, gap_ms, summary.cut));
  if (!title_.empty()) t += Line("reservation", title_);
  if (!programme_.empty()) t += Line("programme", programme_);
  if (span_) {
    auto at = [](MjdTime when, const std::optional<uint64_t>& offset, const char* missing) {
      if (when.date == 0) return std::string("not told");
      return DateTime(when) + (offset ? " (offset " + std::to_string(*offset) + ")" : std::string(missing));
    };
    t += Line("programme start", at(span_->start, span_->start_offset, " (before the recording began)"));
    t += Line("programme end", at(span_->end, span_->end_offset, " (not reached)"));
    t += Line("margins", Format("%u s before, %u s after", span_->margin_before, span_->margin_after));
  }
  t += Line("start", When(local_start_, start_.broadcast_time));
  t += Line("end", When(local_end, end_.broadcast_time));
  t += Line("duration", Duration(recorder.GetCloseTick() - open_tick, false));
  t += Line("bytes", std::to_string(recorder.GetBytesWritten()));
  const PidChecker* checker = recorder.GetChecker();
  t += Line("packets", std::to_string(checker ? checker->packets_checked() : 0));
  const std::vector<uint16_t> services = checker ? checker->Services() : std::vector<uint16_t>();
  if (services.empty()) t += Line("service", "none (the recording holds no PAT)");
  for (const uint16_t id : services) {
    std::string text = std::to_string(id);
    if (const auto name = names_.find(id); name != names_.end()) text += " " + name->second;
    if (const auto seen = programmes_.find(id); seen != programmes_.end() && !seen->second.empty()) {
      text += ":";
      for (size_t i = 0; i < seen->second.size(); ++i) text += (i == 0 ? " " : " / ") + seen->second[i];
    }
    t += Line("service", text);
  }
  t += Line("sync losses", std::to_string(summary.sync_losses));
  t += Line("FIFO overflows (R)", std::to_string(summary.fifo_overflows));
  t += Line("failed transfers", std::to_string(summary.failed_transfers));
  if (!gaps_.empty()) {
    t += Line("gaps", Format("%zu, ", gaps_.size()) + Duration(gap_ms, false) + " in all (the tuner was away)");
  }
  if (checker) {
    const PidCounts totals = checker->Totals();
    summary.packets = totals.packets;
    summary.drop = totals.drop;
    summary.error = totals.error;
    summary.scrambled = totals.scrambled;
    t += "\n";
    for (const std::string& line : PidTableLines(*checker)) t += line + "\n";
    t += "\n";
    if (!follow_.empty()) {
      t += Line("follow", std::to_string(follow_.size()));
      for (const FollowNote& n : follow_) {
        t += Format("  %s  offset %" PRIu64 "  ", DateTime(n.at).c_str(), n.offset) + n.text + "\n";
      }
      t += "\n";
    }
    for (const Gap& g : gaps_) {
      t += Format("gap  %s to %s  length %s  offset %" PRIu64 "\n", DateTime(g.start).c_str(),
                  g.end.date != 0 ? DateTime(g.end).c_str() : "the end", Duration(g.length_ms, false).c_str(),
                  g.offset);
    }
    if (!gaps_.empty()) t += "\n";
    t += Line("events", std::to_string(checker->event_count()));
    for (const CheckEvent& e : checker->events()) {
      const uint32_t elapsed = e.tick - open_tick;
      MjdTime at = local_start_;
      AddSeconds(&at, elapsed / 1000);
      int h = 0, mi = 0, s = 0;
      SecondsToHms(at.seconds, &h, &mi, &s);
      t += Format("+%s  %02d:%02d:%02d  offset %" PRIu64 "  PID 0x%04X  ", Duration(elapsed, true).c_str(), h,
                  mi, s, e.offset, e.pid) +
           EventText(e) + "\n";
    }
    if (checker->event_count() > checker->events().size()) {
      t += Format("(the first %zu of %" PRIu64 " events are listed)\n", checker->events().size(),
                  checker->event_count());
    }
  }
  text_ = std::move(t);
  return summary;
}

bool RecordingReport::Write() {
  if (!regular_ || text_.empty()) return false;
  if (!claimed_ && !Claim()) return false;
  std::string tmp = path_ + ".tmp.XXXXXX";
  const int fd = ::mkstemp(tmp.data());
  if (fd >= 0) {
    struct stat st {};
    ::fchmod(fd, ::stat(path_.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0644);
    bool ok = WriteAll(fd, text_, 0);
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(tmp.c_str(), path_.c_str()) == 0) return true;
    ::unlink(tmp.c_str());
  }
  // No room for a second file: the text goes into the room set aside in the claimed one.
  const int own = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
  if (own < 0) return false;
  bool ok = WriteAll(own, text_, 0) && ::ftruncate(own, static_cast<off_t>(text_.size())) == 0;
  ok = ::fsync(own) == 0 && ok;
  ok = ::close(own) == 0 && ok;
  return ok;
}

}  // namespace pelkan
