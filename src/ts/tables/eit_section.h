#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "ts/event_key.h"
#include "ts/ts_events.h"

namespace pelkan {

// Descriptor tags of an event information section's descriptor loops.
namespace eit_descriptor {
constexpr uint8_t kShortEvent = 0x4D;
constexpr uint8_t kExtendedEvent = 0x4E;
constexpr uint8_t kComponent = 0x50;
constexpr uint8_t kContent = 0x54;
constexpr uint8_t kAudioComponent = 0xC4;
constexpr uint8_t kSeries = 0xD5;
constexpr uint8_t kEventGroup = 0xD6;
}  // namespace eit_descriptor

// Bytes inside the section that was read: valid as long as the section's own bytes are.
using SectionBytes = std::span<const uint8_t>;

// short_event_descriptor. Texts are the broadcast's 8-unit coded bytes, not decoded.
struct ShortEventDescriptor {
  uint32_t iso_639_language_code = 0;
  SectionBytes event_name;
  SectionBytes text;
};

// extended_event_descriptor. An item without a description continues the previous item's text,
// possibly from the previous descriptor (see JoinExtendedEvents).
struct ExtendedEventDescriptor {
  struct Item {
    SectionBytes description;  // item_description_char: the heading
    SectionBytes item;         // item_char: the text
  };
  uint8_t descriptor_number = 0;
  uint8_t last_descriptor_number = 0;
  uint32_t iso_639_language_code = 0;
  std::vector<Item> items;
  SectionBytes text;
};

// One genre of a content_descriptor.
struct ContentNibbles {
  uint8_t content = 0;  // content_nibble_level_1 << 4 | content_nibble_level_2
  uint8_t user = 0;     // user_nibble << 4 | user_nibble
};

// component_descriptor (the video of an event).
struct ComponentDescriptor {
  uint8_t stream_content = 0;
  uint8_t component_type = 0;
  uint8_t component_tag = 0;
  uint32_t iso_639_language_code = 0;
  SectionBytes text;
};

// audio_component_descriptor.
struct AudioComponentDescriptor {
  uint8_t stream_content = 0;
  uint8_t component_type = 0;
  uint8_t component_tag = 0;
  uint8_t stream_type = 0;
  uint8_t simulcast_group_tag = 0;
  bool es_multi_lingual_flag = false;
  bool main_component_flag = false;
  uint8_t quality_indicator = 0;
  uint8_t sampling_rate = 0;
  uint32_t iso_639_language_code = 0;
  uint32_t iso_639_language_code_2 = 0;  // only with es_multi_lingual_flag
  SectionBytes text;
};

// series_descriptor: the series an event belongs to and its place in it.
struct SeriesDescriptor {
  uint16_t series_id = 0;
  uint8_t repeat_label = 0;     // 0 for the first broadcast
  uint8_t program_pattern = 0;  // 0 irregular, 1 weekly, 2 daily, ... 7 no more episodes
  std::optional<uint16_t> expire_date;  // MJD the series ends; none without expire_date_valid_flag
  uint16_t episode_number = 0;       // 0 when not numbered
  uint16_t last_episode_number = 0;  // 0 when not known
  SectionBytes series_name;
};

// event_group_descriptor: the events an event is grouped with (shared, relayed or moved).
struct EventGroupDescriptor {
  struct Member {
    uint16_t service_id = 0;
    uint16_t event_id = 0;
    bool operator==(const Member&) const = default;
  };
  // Group types whose members may lie in other networks: relay to or movement from them.
  static constexpr uint8_t kRelayToOtherNetworks = 4;
  static constexpr uint8_t kMovementFromOtherNetworks = 5;

  uint8_t group_type = 0;
  std::vector<Member> events;
  std::vector<EventKey> other_network_events;  // group types 4 and 5 only
};

// The extended_event_descriptors of an event joined into one: items in descriptor_number order, an
// item without a description appended to the previous item's text. The bytes are still coded
// (joined before decoding, so that a character cut between two descriptors comes out whole).
struct ExtendedEventText {
  std::vector<std::pair<std::string, std::string>> items;  // description, item bytes
  std::string text;
};

// One event information section (EIT, table_id 0x4E-0x6F) read with the bounds-checked section
// reader: the header and every event with the descriptors the program uses. Spans point into the
// section's bytes.
struct EitSection {
  struct Header {
    uint8_t table_id = 0;
    bool section_syntax_indicator = false;
    uint16_t section_length = 0;
    uint16_t service_id = 0;
    uint8_t version_number = 0;
    bool current_next_indicator = false;
    uint8_t section_number = 0;
    uint8_t last_section_number = 0;
    uint16_t transport_stream_id = 0;
    uint16_t original_network_id = 0;
    uint8_t segment_last_section_number = 0;
    uint8_t last_table_id = 0;
  };

  struct Event {
    uint16_t event_id = 0;
    uint16_t start_mjd = 0;
    std::array<uint8_t, 3> start_time{};  // BCD hh mm ss
    std::array<uint8_t, 3> duration{};    // BCD hh mm ss; FF FF FF when undetermined
    uint8_t running_status = 0;
    bool free_ca_mode = false;

    // The last short_event_descriptor of the loop; a text running past its descriptor reads as
    // empty (and the text after an event name that does so too).
    std::optional<ShortEventDescriptor> short_event;
    // Every extended_event_descriptor whose items and text are whole, or that gave an item.
    std::vector<ExtendedEventDescriptor> extended_events;
    // The genres of every content_descriptor, in loop order.
    std::vector<ContentNibbles> contents;
    // Every component and audio_component_descriptor long enough to give stream_content and
    // component_type; the later fields read as 0 or empty when they are cut.
    std::vector<ComponentDescriptor> components;
    std::vector<AudioComponentDescriptor> audio_components;
    // The last series_descriptor with its fixed fields whole.
    std::optional<SeriesDescriptor> series;
    // Every event_group_descriptor; only whole members are listed.
    std::vector<EventGroupDescriptor> event_groups;

    // True for the start time that is not yet known (all bits set).
    bool StartUndefined() const;
    // Second of the start day.
    uint32_t StartSecond() const;
    // Seconds; kUndefinedDuration when undetermined.
    uint32_t DurationSeconds() const;
    // The extended_event_descriptors joined (see ExtendedEventText); empty when there are none.
    ExtendedEventText JoinedExtendedEvents() const;
  };

  // The fixed header (the 14 bytes from table_id to last_table_id) of a section of at least 18
  // bytes (header and CRC_32); nullopt for fewer. Nothing else is checked. Pure function.
  static std::optional<Header> ReadHeader(const uint8_t* section, size_t length);

  // Reads a whole section (header to CRC_32, the CRC already checked): nullopt when the table_id
  // is not an EIT's, the long form is not set, or section_length is below the fixed part or runs
  // past `length`. The event loop ends at the CRC; an event cut off by it ends the walk, the
  // events before it are kept. A descriptor running past its loop ends that loop. Pure function,
  // safe from any thread.
  static std::optional<EitSection> Read(const uint8_t* section, size_t length);

  Header header;
  std::vector<Event> events;
};

}  // namespace pelkan
