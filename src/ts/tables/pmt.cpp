// Programme map table: the elementary streams of one programme.
#include <vector>

#include "ts/section_reader.h"
#include "ts/ts_processor.h"

namespace pelkan {

void TsProcessor::HandlePmt(const SectionHeader& h, const uint8_t* section, uint32_t length) {
  const uint16_t program_number = h.table_id_extension;
  auto [it, inserted] = pmt_versions_.try_emplace(program_number, h.version_number);
  if (!inserted) {
    if (it->second == h.version_number) return;
    it->second = h.version_number;
  }

  SectionReader r(section, length);
  r.Skip(h.HeaderLength());
  r.U16();  // PCR_PID
  const uint16_t program_info_length = r.U16() & 0x0FFF;
  if (!r.Skip(program_info_length)) return;  // the programme descriptors run past the section
  const int loop_length = static_cast<int>(h.section_length) - 13 - program_info_length;
  if (loop_length <= 0) return;
  SectionReader loop = r.SubClamped(static_cast<size_t>(loop_length));

  std::vector<ComponentEntry> components;
  components.reserve(loop.Remaining() / 5 + 1);
  while (!loop.AtEnd()) {
    const uint8_t stream_type = loop.U8();
    const uint16_t pid = loop.U16() & 0x1FFF;
    const uint16_t es_info_length = loop.U16() & 0x07FF;
    // An entry cut off by the end of the loop is dropped, and the walk ends with it.
    if (!loop.Skip(es_info_length) || !loop.ok()) break;
    components.push_back({stream_type, pid});
  }
  if (!components.empty()) {
    Emit(EVENT_COMPONENT_LIST, program_number, components.data(), static_cast<uint32_t>(components.size()));
  }
}

}  // namespace pelkan
