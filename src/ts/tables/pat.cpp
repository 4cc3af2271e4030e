// Programme association table: the programmes of the stream and where their PMTs are.
#include "ts/program_tables.h"
#include "ts/ts_processor.h"

namespace pelkan {

void TsProcessor::HandlePat(const SectionHeader& h, const uint8_t* section, uint32_t length) {
  const uint16_t tsid = h.table_id_extension;
  if (pat_transport_stream_id_ != 0 && pat_transport_stream_id_ == tsid) {
    if (h.version_number == pat_version_) return;
  } else {
    // First PAT, or another transport stream: everything learnt so far belongs to the old one.
    if (pat_transport_stream_id_ != 0) ResetTables();
    Emit(EVENT_STREAM_RESET, tsid, nullptr, 0);
  }
  pat_transport_stream_id_ = tsid;
  pat_version_ = h.version_number;
  pat_programs_.clear();

  for (const ProgramListEntry& e : ReadPatEntries(h, section, length)) {
    if (e.program_number != 0) {
      pid_kinds_[e.pmt_pid] = PidKind::kPmt;
      pat_programs_.push_back(e);
    } else {
      pid_kinds_[e.pmt_pid] = e.pmt_pid == 0x0010 ? PidKind::kNit : PidKind::kOtherNetwork;
    }
  }
  if (!pat_programs_.empty()) {
    Emit(EVENT_PROGRAM_LIST, tsid, pat_programs_.data(), static_cast<uint32_t>(pat_programs_.size()));
  }
}

}  // namespace pelkan
