// Programme map table: the elementary streams of one programme.
#include "ts/program_tables.h"
#include "ts/ts_processor.h"

namespace pelkan {

void TsProcessor::HandlePmt(const SectionHeader& h, const uint8_t* section, uint32_t length) {
  const uint16_t program_number = h.table_id_extension;
  auto [it, inserted] = pmt_versions_.try_emplace(program_number, h.version_number);
  if (!inserted) {
    if (it->second == h.version_number) return;
    it->second = h.version_number;
  }
  const std::vector<ComponentEntry> components = ReadPmtComponents(h, section, length);
  if (!components.empty()) {
    Emit(EVENT_COMPONENT_LIST, program_number, components.data(), static_cast<uint32_t>(components.size()));
  }
}

}  // namespace pelkan
