// Service description table (actual stream): the name and provider of each service.
#include "ts/arib_string.h"
#include "ts/section_reader.h"
#include "ts/ts_processor.h"

namespace pelkan {
namespace {

constexpr uint8_t kServiceDescriptor = 0x48;

// Decodes one length-prefixed name of a service_descriptor into `dest`; false when the name runs
// past the descriptor (the field is then left as it was).
bool ReadName(SectionReader& body, char* dest, uint32_t size) {
  const uint8_t len = body.U8();
  const uint8_t* text = body.Bytes(len);
  if (!body.ok()) return false;
  DecodeAribString(text, len, dest, size);
  return true;
}

}  // namespace

void TsProcessor::HandleSdt(const SectionHeader& h, const uint8_t* section, uint32_t length) {
  if (h.table_id != 0x42) return;
  // Services described in later sections of the table get their names too.
  if (!IsNewVersion(sdt_versions_, h)) return;

  const int loop_length = static_cast<int>(h.section_length) - static_cast<int>(h.HeaderLength()) - 4;
  if (loop_length <= 0) return;
  SectionReader r(section, length);
  r.Skip(h.HeaderLength() + 3);  // original_network_id, reserved
  SectionReader loop = r.SubClamped(static_cast<size_t>(loop_length));
  while (loop.Remaining() >= 5) {
    const uint16_t service_id = loop.U16();
    loop.U8();  // EIT flags
    SectionReader descriptors = loop.Sub(loop.U16() & 0x0FFF);
    if (!loop.ok()) break;  // a service entry cut off by the end of the loop is dropped
    ServiceNames names{};
    while (descriptors.Remaining() >= 2) {
      const uint8_t tag = descriptors.U8();
      const uint8_t len = descriptors.U8();
      SectionReader body = descriptors.Sub(len);
      if (!descriptors.ok()) break;
      if (tag != kServiceDescriptor) continue;
      body.U8();  // service_type
      if (ReadName(body, names.provider_name, sizeof names.provider_name)) {
        ReadName(body, names.service_name, sizeof names.service_name);
      }
    }
    Emit(EVENT_SERVICE_NAME, service_id, &names, 0);
  }
}

}  // namespace pelkan
