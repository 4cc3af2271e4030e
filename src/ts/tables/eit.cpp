// Event information table: programme events into the event store.
#include "ts/arib_string.h"
#include "ts/tables/eit_section.h"
#include "ts/ts_processor.h"

namespace pelkan {
namespace {

uint8_t KindOf(uint8_t table_id) {
  if (table_id == 0x4E) return EVENT_KIND_PF_ACTUAL;
  if (table_id == 0x4F) return EVENT_KIND_PF_OTHER;
  if (table_id >= 0x50 && table_id <= 0x57) return EVENT_KIND_SCHEDULE_ACTUAL;
  if (table_id >= 0x60 && table_id <= 0x67) return EVENT_KIND_SCHEDULE_OTHER;
  return EVENT_KIND_NONE;
}

// Decodes broadcast text bytes into a fixed field of the record.
void DecodeInto(SectionBytes text, char* dest, uint32_t size) {
  if (!text.empty()) DecodeAribString(text.data(), static_cast<uint32_t>(text.size()), dest, size);
}

// The event store's record of one event of a section (kind, version and service id already set).
void FillRecord(const EitSection::Event& e, ProgrammeEvent* ev) {
  ev->event_id = e.event_id;
  ev->start_day = e.start_mjd;
  ev->start_second = e.StartSecond();
  ev->duration = e.DurationSeconds();
  if (ev->duration == kUndefinedDuration) {
    ev->end_second = kUndefinedDuration;
    ev->end_day = ev->start_day;
  } else {
    const uint64_t end = uint64_t{ev->start_day} * 86400 + ev->start_second + ev->duration;
    ev->end_day = static_cast<uint32_t>(end / 86400);
    ev->end_second = static_cast<uint32_t>(end % 86400);
  }
  if (e.short_event) {
    DecodeInto(e.short_event->event_name, ev->title, sizeof ev->title);
    DecodeInto(e.short_event->text, ev->description, sizeof ev->description);
  }
  if (!e.components.empty()) ev->video_component_type = e.components.back().component_type;
  if (!e.audio_components.empty()) ev->audio_component_type = e.audio_components.back().component_type;
}

}  // namespace

void TsProcessor::HandleEit(const SectionHeader& h, const uint8_t* section, uint32_t length) {
  // A table not yet applicable (current_next_indicator 0) must not replace the current one.
  if (process_epg_.load(std::memory_order_relaxed) == 0 || h.current_next_indicator == 0) return;
  // The programme guide reads every table of the actual stream, the extended ones too.
  if (h.table_id == 0x4E || (h.table_id >= 0x50 && h.table_id <= 0x5F))
    Emit(EVENT_EIT_SECTION, h.table_id_extension, section, length);
  if (h.table_id == 0x4F || h.table_id >= 0x58) return;
  if (!IsNewVersion(eit_versions_, h)) return;

  const std::optional<EitSection> eit = EitSection::Read(section, length);
  if (!eit) return;
  if (h.table_id == 0x4E) {
    std::optional<uint16_t> named;
    if (!eit->events.empty()) named = eit->events.front().event_id;
    event_store_.StorePresentFollowing(h.table_id_extension, h.section_number, named);
  }
  for (const EitSection::Event& e : eit->events) {
    ProgrammeEvent ev{};
    ev.kind = KindOf(h.table_id);
    ev.version = h.version_number;
    ev.service_id = h.table_id_extension;
    FillRecord(e, &ev);
    event_store_.StoreEvent(ev.service_id, ev);
  }
}

}  // namespace pelkan
