#include "info/programme_text.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/text_codec.h"

namespace pelkan {
namespace {

using platform::Sjis;

const std::string kWeekdays[7] = {
    Sjis("水"), Sjis("木"), Sjis("金"), Sjis("土"), Sjis("日"), Sjis("月"), Sjis("火"),
};

const std::string kUndetermined = Sjis("未定 ");
const std::string kVideoFormat = Sjis(" 映像(%s,%s)");
const std::string kAudioFormat = Sjis(" 音声(%s)");
const std::string kMono = Sjis("モノラル");
const std::string kDualMono = Sjis("モノラルx2");
const std::string kStereo = Sjis("ステレオ");
const std::string kCurrentHeading = Sjis("\n\n現在の番組>> ");
const std::string kNextHeading = Sjis("\n\n次の番組>> ");
const std::string kCurrentProgramme = Sjis("現在の番組");
const std::string kNextProgramme = Sjis("次の番組");

const std::string kColumnHeaders[5] = {
    Sjis("サービスID"), Sjis("チャンネル名"), Sjis("現在の番組"), "PMT", Sjis("構成PID"),
};

// printf-style append; integers and strings only, so the formatted length is known up front.
[[gnu::format(printf, 2, 3)]] void AppendF(std::string& out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  if (n > 0) {
    const size_t old = out.size();
    out.resize(old + static_cast<size_t>(n) + 1);
    std::vsnprintf(out.data() + old, static_cast<size_t>(n) + 1, format, again);
    out.resize(old + static_cast<size_t>(n));
  }
  va_end(again);
}

void AppendDate(std::string& out, uint32_t day) {
  int year = 0, month = 0, mday = 0;
  MjdToDate(day, &year, &month, &mday);
  const std::string weekday(WeekdayName(day));
  AppendF(out, "%04d/%02d/%02d(%s) ", year, month, mday, weekday.c_str());
}

void AppendTime(std::string& out, uint32_t second) {
  AppendF(out, "%02u:%02u", second / 3600, (second % 3600) / 60);
}

// Cuts a text at its first NUL, if any.
std::string_view UpToNul(std::string_view text) {
  const size_t nul = text.find('\0');
  return nul == std::string_view::npos ? text : text.substr(0, nul);
}

}  // namespace

std::string_view WeekdayName(uint32_t mjd) {
  return kWeekdays[mjd % 7];
}

std::string_view VideoResolutionText(uint8_t video_type) {
  switch (video_type >> 4) {
    case 0x0:
      return "D1 480i";
    case 0xA:
      return "D2 480p";
    case 0xB:
      return "D3 1080i";
    default:
      return "?";
  }
}

std::string_view VideoAspectText(uint8_t video_type) {
  switch (video_type & 0x0F) {
    case 1:
      return "4:3";
    case 3:
      return "16:9";
    default:
      return "?:?";
  }
}

std::string_view AudioComponentText(uint8_t audio_type) {
  switch (audio_type) {
    case 1:
      return kMono;
    case 2:
      return kDualMono;
    case 3:
      return kStereo;
    case 9:
      return "5.1ch";
    default:
      return "?";
  }
}

std::string_view StreamTypeText(uint8_t stream_type) {
  switch (stream_type) {
    case 0x01:
      return "mpg";
    case 0x02:
      return "m2v";
    case 0x06:
      return "m2s";
    case 0x0D:
      return "dat";
    case 0x0F:
      return "aac";
    case 0x10:
      return "mp4";
    case 0x1B:
      return "264";
    default:
      return "???";
  }
}

std::string_view ProgrammeMenuTitle(bool next) {
  return next ? kNextProgramme : kCurrentProgramme;
}

std::string_view ColumnHeaderText(int column) {
  return column >= 0 && column < 5 ? kColumnHeaders[column] : std::string_view{};
}

std::string FormatProgrammeText(uint32_t flags, const MjdTime& start, const MjdTime& end,
                                std::string_view title, std::string_view description, uint8_t video_type,
                                uint8_t audio_type) {
  std::string out;
  if (flags & PT_START_DATE) AppendDate(out, start.date);
  if (flags & PT_START_TIME) AppendTime(out, start.seconds);
  if (flags & (PT_START_TIME | PT_END_TIME)) {
    if (end.seconds == kUndefinedDuration) {
      out += kUndetermined;
    } else {
      out += " - ";
      if (flags & PT_END_DATE) AppendDate(out, end.date);
      AppendTime(out, end.seconds);
    }
  }
  if (flags & PT_COMPONENTS) {
    if (video_type != 0) {
      const std::string res(VideoResolutionText(video_type));
      const std::string aspect(VideoAspectText(video_type));
      AppendF(out, kVideoFormat.c_str(), res.c_str(), aspect.c_str());
    }
    if (audio_type != 0) {
      const std::string audio(AudioComponentText(audio_type));
      AppendF(out, kAudioFormat.c_str(), audio.c_str());
    }
  }
  const bool newlines = (flags & PT_NEWLINES) != 0;
  if (flags & PT_TITLE) {
    const bool marks = (flags & PT_TITLE_MARKS) != 0;
    out += newlines ? "\n" : " ";
    if (marks) out += "<< ";
    out += UpToNul(title);
    if (marks) out += " >>";
  }
  if (flags & PT_TEXT) {
    out += newlines && (flags & PT_TITLE) ? "\n" : " ";
    out += UpToNul(description);
  }
  return out;
}

std::string FormatProgrammeText(uint32_t flags, const ProgrammeEvent& event) {
  return FormatProgrammeText(
      flags, MjdTime{event.start_day, event.start_second}, MjdTime{event.end_day, event.end_second},
      std::string_view(event.title, FixedFieldLength(event.title, sizeof(event.title))),
      std::string_view(event.description, FixedFieldLength(event.description, sizeof(event.description))),
      event.video_component_type, event.audio_component_type);
}

size_t FormatProgrammeText(uint32_t flags, char* out, size_t capacity, const MjdTime& start,
                           const MjdTime& end, std::string_view title, std::string_view description,
                           uint8_t video_type, uint8_t audio_type) {
  const std::string text = FormatProgrammeText(flags, start, end, title, description, video_type, audio_type);
  if (out != nullptr && capacity > 0) {
    const size_t n = std::min(text.size(), capacity - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
  }
  return text.size();
}

std::string FormatProgrammeTextUtf8(uint32_t flags, const ProgrammeEvent& event, platform::SymbolForm form) {
  return platform::BroadcastToUtf8(FormatProgrammeText(flags, event), form);
}

std::string ServiceIdText(uint16_t service_id) {
  std::string out;
  AppendF(out, "%d", service_id);
  return out;
}

std::string PmtPidText(uint16_t pmt_pid) {
  std::string out;
  AppendF(out, "0x%04X", pmt_pid);
  return out;
}

std::string ComponentListText(std::span<const ComponentEntry> entries) {
  std::string out;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i == kComponentTextEntries) {
      out += "...";
      break;
    }
    const std::string abbrev(StreamTypeText(entries[i].stream_type));
    AppendF(out, "0x%04X(%3s) ", entries[i].elementary_pid, abbrev.c_str());
  }
  return out;
}

std::string RowToolTipText(std::string_view name, uint16_t service_id, std::string_view current_text,
                           std::string_view next_text) {
  std::string out(UpToNul(name));
  AppendF(out, "(%d)", service_id);
  if (!current_text.empty()) {
    out += kCurrentHeading;
    out += current_text;
    if (!next_text.empty()) {
      out += kNextHeading;
      out += next_text;
    }
  }
  return out;
}

size_t FixedFieldLength(const char* field, size_t size) {
  const void* nul = std::memchr(field, '\0', size);
  return nul == nullptr ? size : static_cast<size_t>(static_cast<const char*>(nul) - field);
}

}  // namespace pelkan
