// Programme association table: the programmes of the stream and where their PMTs are.
#include "ts/section_reader.h"
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

  // The entries end where the CRC_32 begins; a trailing partial entry is ignored.
  SectionReader r(section, length);
  r.Skip(h.HeaderLength());
  const int loop_length = static_cast<int>(h.section_length) - static_cast<int>(h.HeaderLength()) - 1;
  SectionReader loop = r.SubClamped(loop_length > 0 ? static_cast<size_t>(loop_length) : 0);
  while (loop.Remaining() >= 4) {
    const uint16_t program_number = loop.U16();
    const uint16_t pid = loop.U16() & 0x1FFF;
    if (program_number != 0) {
      pid_kinds_[pid] = PidKind::kPmt;
      pat_programs_.push_back({program_number, pid});
    } else {
      pid_kinds_[pid] = pid == 0x0010 ? PidKind::kNit : PidKind::kOtherNetwork;
    }
  }
  if (!pat_programs_.empty()) {
    Emit(EVENT_PROGRAM_LIST, tsid, pat_programs_.data(), static_cast<uint32_t>(pat_programs_.size()));
  }
}

}  // namespace pelkan
