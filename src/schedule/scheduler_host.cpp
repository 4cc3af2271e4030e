#include "schedule/scheduler_host.h"

#include "output/block_file_writer.h"

namespace pelkan {
namespace {

constexpr uint32_t kBlockSize = 0x100000;

}  // namespace

std::unique_ptr<RecordingWriter> SchedulerHost::CreateWriter() {
  return std::make_unique<BlockFileWriter>(kBlockSize);
}

}  // namespace pelkan
