#include "ts/program_tables.h"

#include "ts/section_reader.h"

namespace pelkan {

std::vector<ProgramListEntry> ReadPatEntries(const SectionHeader& h, const uint8_t* section,
                                             uint32_t length) {
  SectionReader r(section, length);
  r.Skip(h.HeaderLength());
  const int loop_length = static_cast<int>(h.section_length) - static_cast<int>(h.HeaderLength()) - 1;
  SectionReader loop = r.SubClamped(loop_length > 0 ? static_cast<size_t>(loop_length) : 0);
  std::vector<ProgramListEntry> entries;
  entries.reserve(loop.Remaining() / 4);
  while (loop.Remaining() >= 4) {
    const uint16_t program_number = loop.U16();
    const uint16_t pid = loop.U16() & 0x1FFF;
    entries.push_back({program_number, pid});
  }
  return entries;
}

std::vector<ComponentEntry> ReadPmtComponents(const SectionHeader& h, const uint8_t* section,
                                              uint32_t length) {
  std::vector<ComponentEntry> components;
  SectionReader r(section, length);
  r.Skip(h.HeaderLength());
  r.U16();  // PCR_PID
  const uint16_t program_info_length = r.U16() & 0x0FFF;
  if (!r.Skip(program_info_length)) return components;
  const int loop_length = static_cast<int>(h.section_length) - 13 - program_info_length;
  if (loop_length <= 0) return components;
  SectionReader loop = r.SubClamped(static_cast<size_t>(loop_length));
  components.reserve(loop.Remaining() / 5 + 1);
  while (!loop.AtEnd()) {
    const uint8_t stream_type = loop.U8();
    const uint16_t pid = loop.U16() & 0x1FFF;
    const uint16_t es_info_length = loop.U16() & 0x07FF;
    if (!loop.Skip(es_info_length) || !loop.ok()) break;
    components.push_back({stream_type, pid});
  }
  return components;
}

}  // namespace pelkan
