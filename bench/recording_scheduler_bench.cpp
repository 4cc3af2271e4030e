// Cost of recording one packet of output 1: ReceivePacket takes the scheduler lock and hands the
// packet to the recording's writer (BlockFileWriter into /dev/null, blocks of 1 MiB).
#include <benchmark/benchmark.h>

#include "output/block_file_writer.h"
#include "schedule/recording_scheduler.h"

namespace {

class NullHost : public pelkan::SchedulerHost {
 public:
  bool LookupProgramme(uint16_t, uint16_t, uint16_t, uint16_t, pelkan::ProgrammeEvent*) override {
    return false;
  }
  void Post(std::function<void()>) override {}
  bool ConfirmOverlap() override { return true; }
  std::unique_ptr<pelkan::RecordingWriter> CreateWriter() override {
    // Whatever the reservation's name, the bytes go to /dev/null.
    struct NullWriter : pelkan::BlockFileWriter {
      bool Open(const std::string&) override { return BlockFileWriter::Open("/dev/null"); }
    };
    return std::make_unique<NullWriter>();
  }
};

void BM_ReceivePacket(benchmark::State& state) {
  NullHost host;
  pelkan::RecordingScheduler s(&host);
  pelkan::ScheduleItem item{};
  item.flags = pelkan::SI_BY_TIME | pelkan::SI_FILE_NAME;
  item.start_day = 54528;
  item.duration = 86400;
  pelkan::SetText(item.directory, "/dev");
  pelkan::SetText(item.file_name, "null");
  pelkan::SetText(item.extension, "");
  s.StoreItem(item, -1);
  s.Tick(pelkan::MjdTime{54528, 10});
  if (s.ActiveOutputPath().empty()) state.SkipWithError("/dev/null could not be opened");
  uint8_t packet[188] = {0x47};
  for (auto _ : state) s.ReceivePacket(packet, sizeof(packet));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 188);
}
BENCHMARK(BM_ReceivePacket);

}  // namespace
