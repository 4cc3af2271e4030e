// Event information table: programme events into the event store.
#include "ts/arib_string.h"
#include "ts/bcd.h"
#include "ts/section_reader.h"
#include "ts/ts_processor.h"

namespace pelkan {
namespace {

constexpr uint8_t kShortEventDescriptor = 0x4D;
constexpr uint8_t kComponentDescriptor = 0x50;
constexpr uint8_t kAudioComponentDescriptor = 0xC4;

uint8_t KindOf(uint8_t table_id) {
  if (table_id == 0x4E) return EVENT_KIND_PF_ACTUAL;
  if (table_id == 0x4F) return EVENT_KIND_PF_OTHER;
  if (table_id >= 0x50 && table_id <= 0x57) return EVENT_KIND_SCHEDULE_ACTUAL;
  if (table_id >= 0x60 && table_id <= 0x67) return EVENT_KIND_SCHEDULE_OTHER;
  return EVENT_KIND_NONE;
}

// Decodes one length-prefixed text of a short_event_descriptor; false when it runs past the body.
bool ReadText(SectionReader& body, char* dest, uint32_t size) {
  const uint8_t len = body.U8();
  const uint8_t* text = body.Bytes(len);
  if (!body.ok()) return false;
  DecodeAribString(text, len, dest, size);
  return true;
}

// Reads the event entry at the reader's position into `ev` (kind, version and service id already
// set). False, with the reader failed, when the entry is cut off by the end of the loop.
bool ParseEventEntry(SectionReader& loop, ProgrammeEvent* ev) {
  ev->event_id = loop.U16();
  ev->start_day = loop.U16();
  const uint8_t sh = loop.U8(), sm = loop.U8(), ss = loop.U8();
  const uint8_t dh = loop.U8(), dm = loop.U8(), ds = loop.U8();
  SectionReader descriptors = loop.Sub(loop.U16() & 0x0FFF);
  if (!loop.ok()) return false;

  ev->start_second = BcdTimeToSeconds(sh, sm, ss);
  if (dh == 0xFF && dm == 0xFF && ds == 0xFF) {
    ev->duration = kUndefinedDuration;
    ev->end_second = kUndefinedDuration;
    ev->end_day = ev->start_day;
  } else {
    ev->duration = BcdTimeToSeconds(dh, dm, ds);
    const uint64_t end = uint64_t{ev->start_day} * 86400 + ev->start_second + ev->duration;
    ev->end_day = static_cast<uint32_t>(end / 86400);
    ev->end_second = static_cast<uint32_t>(end % 86400);
  }

  while (descriptors.Remaining() >= 2) {
    const uint8_t tag = descriptors.U8();
    const uint8_t len = descriptors.U8();
    SectionReader body = descriptors.Sub(len);
    if (!descriptors.ok()) break;
    switch (tag) {
      case kShortEventDescriptor:
        body.Skip(3);  // ISO_639_language_code
        if (ReadText(body, ev->title, sizeof ev->title)) ReadText(body, ev->description, sizeof ev->description);
        break;
      case kComponentDescriptor:
        body.U8();
        if (body.Remaining() >= 1) ev->video_component_type = body.U8();
        break;
      case kAudioComponentDescriptor:
        body.U8();
        if (body.Remaining() >= 1) ev->audio_component_type = body.U8();
        break;
      default:
        break;
    }
  }
  return true;
}

}  // namespace

void TsProcessor::HandleEit(const SectionHeader& h, const uint8_t* section, uint32_t length) {
  if (!process_epg_) return;
  // The programme guide reads every table of the actual stream, the extended ones too.
  if (h.table_id == 0x4E || (h.table_id >= 0x50 && h.table_id <= 0x5F))
    Emit(EVENT_EIT_SECTION, h.table_id_extension, section, length);
  if (h.table_id == 0x4F || h.table_id >= 0x58) return;
  if (!IsNewVersion(eit_versions_, h)) return;

  const int loop_length = static_cast<int>(h.section_length) - static_cast<int>(h.HeaderLength()) - 7;
  if (loop_length <= 0) return;
  SectionReader r(section, length);
  r.Skip(h.HeaderLength() + 6);
  SectionReader loop = r.SubClamped(static_cast<size_t>(loop_length));
  while (!loop.AtEnd()) {
    ProgrammeEvent ev{};
    ev.kind = KindOf(h.table_id);
    ev.version = h.version_number;
    ev.service_id = h.table_id_extension;
    if (!ParseEventEntry(loop, &ev)) break;
    event_store_.StoreEvent(ev.service_id, ev);
  }
}

}  // namespace pelkan
