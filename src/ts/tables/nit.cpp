// Network information table: network name and the satellite delivery of each transport stream.
#include "ts/arib_string.h"
#include "ts/bcd.h"
#include "ts/section_reader.h"
#include "ts/ts_processor.h"

namespace pelkan {
namespace {

constexpr uint8_t kNetworkNameDescriptor = 0x40;
constexpr uint8_t kSatelliteDeliveryDescriptor = 0x43;

// Fills `sd` from the 11-byte body of a satellite_delivery_system_descriptor.
void ReadSatelliteDelivery(SectionReader body, SatelliteDelivery* sd) {
  const uint32_t frequency = body.U32();
  const uint16_t orbital_position = body.U16();
  const uint8_t flags = body.U8();
  const uint32_t rate_and_fec = body.U32();
  if (!body.ok()) return;
  sd->frequency = BcdToInt(frequency) * 0.01;
  sd->orbital_position = BcdToInt(orbital_position) * 0.1;
  sd->west_east_flag = flags >> 7;
  sd->polarisation = static_cast<uint8_t>((flags >> 5) & 3);
  sd->modulation = static_cast<uint8_t>(flags & 0x1F);
  sd->symbol_rate = BcdToInt(rate_and_fec >> 4) * 0.0001;
  sd->fec_inner = static_cast<uint8_t>(rate_and_fec & 0x0F);
}

}  // namespace

void TsProcessor::HandleNit(const SectionHeader& h, const uint8_t* section, uint32_t length) {
  // NIT-actual, NIT-other and the rest keep their versions apart, section by section.
  if (!IsNewVersion(nit_versions_, h)) return;
  const int32_t network_id = h.table_id_extension;

  if (h.table_id == 0x7F) {
    Emit(EVENT_NETWORK_NAME, network_id, "", 1);
    return;
  }
  if (h.table_id != 0x40) return;

  // Loops end where the CRC_32 begins; a loop whose length runs past that is cut there, and a
  // descriptor or entry cut off by the end of its loop is dropped and ends the walk.
  SectionReader r(section, length >= 4 ? length - 4 : 0);
  r.Skip(h.HeaderLength());
  char name[21] = {};
  SectionReader descriptors = r.SubClamped(r.U16() & 0x0FFF);
  while (descriptors.Remaining() >= 2) {
    const uint8_t tag = descriptors.U8();
    const uint8_t len = descriptors.U8();
    const uint8_t* body = descriptors.Bytes(len);
    if (!body) break;
    if (tag == kNetworkNameDescriptor) DecodeAribString(body, len, name, sizeof name);
  }

  const uint16_t loop_length = r.U16() & 0x0FFF;
  SectionReader streams = r.ok() ? r.SubClamped(loop_length) : SectionReader();
  while (streams.Remaining() >= 6) {
    const uint16_t tsid = streams.U16();
    streams.U16();  // original_network_id
    SectionReader d = streams.Sub(streams.U16() & 0x0FFF);
    if (!streams.ok()) break;
    SatelliteDelivery sd{};
    while (d.Remaining() >= 2) {
      const uint8_t tag = d.U8();
      const uint8_t len = d.U8();
      SectionReader body = d.Sub(len);
      if (!d.ok()) break;
      if (tag == kSatelliteDeliveryDescriptor && len >= 11) ReadSatelliteDelivery(body, &sd);
    }
    Emit(EVENT_SATELLITE_DELIVERY, network_id, &sd, tsid);
  }
  Emit(EVENT_NETWORK_NAME, network_id, name, 0);
}

}  // namespace pelkan
