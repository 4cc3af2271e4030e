// Reads generated streams with FFmpeg's ffprobe, an independent reader of transport streams, and
// compares the programmes, PMT PIDs and stream types it finds with what the generator was asked for.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "streamgen/broadcast_generator.h"

namespace pelkan::streamgen {
namespace {

constexpr const char* kFfprobe = "/usr/bin/ffprobe";

struct ProbedProgramme {
  uint32_t pmt_pid = 0, pcr_pid = 0;
  std::map<uint32_t, uint32_t> stream_types;  // PID -> stream_type (ffprobe's codec_tag)
  std::map<uint32_t, std::map<std::string, std::string>> fields;  // PID -> other stream fields
};

// Writes `seconds` of the stream to a temporary file; returns its path.
std::filesystem::path WriteStream(const GeneratorOptions& o, double seconds, const char* name) {
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() / (std::string("pelkan_") + name + "_" + std::to_string(getpid()) + ".ts");
  BroadcastGenerator g(o);
  std::vector<uint8_t> data(static_cast<size_t>(seconds * static_cast<double>(o.bit_rate) / 8 / o.packet_size) *
                            o.packet_size);
  g.Read(data.data(), data.size());
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                               static_cast<std::streamsize>(data.size()));
  return path;
}

// Runs ffprobe -show_programs -show_streams in its "flat" format and collects the programmes.
std::map<uint32_t, ProbedProgramme> Probe(const std::filesystem::path& file) {
  const std::string command = std::string(kFfprobe) + " -v error -show_programs -show_streams -of flat '" +
                              file.string() + "' 2>/dev/null";
  std::map<uint32_t, ProbedProgramme> out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  std::map<int, uint32_t> program_of_index;
  std::map<std::pair<int, int>, std::pair<uint32_t, uint32_t>> streams;  // (program, stream) -> (pid, tag)
  std::map<std::pair<int, int>, std::map<std::string, std::string>> fields;
  char line[1024];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    int p = -1, s = -1;
    char key[64] = {};
    char value[256] = {};
    if (std::sscanf(line, "programs.program.%d.streams.stream.%d.%63[^=]=%255s", &p, &s, key, value) == 4) {
      std::string v = value;
      if (!v.empty() && v.front() == '"') v = v.substr(1, v.size() - 2);
      if (std::string(key) == "id") streams[{p, s}].first = static_cast<uint32_t>(std::stoul(v, nullptr, 16));
      if (std::string(key) == "codec_tag") streams[{p, s}].second = static_cast<uint32_t>(std::stoul(v, nullptr, 16));
      fields[{p, s}][key] = v;
    } else if (std::sscanf(line, "programs.program.%d.%63[^=]=%255s", &p, key, value) == 3) {
      const std::string k = key;
      if (k == "program_id") program_of_index[p] = static_cast<uint32_t>(std::stoul(value));
      if (k == "pmt_pid") out[program_of_index[p]].pmt_pid = static_cast<uint32_t>(std::stoul(value));
      if (k == "pcr_pid") out[program_of_index[p]].pcr_pid = static_cast<uint32_t>(std::stoul(value));
    }
  }
  pclose(pipe);
  for (const auto& [where, stream] : streams) {
    ProbedProgramme& programme = out[program_of_index[where.first]];
    programme.stream_types[stream.first] = stream.second;
    programme.fields[stream.first] = fields[where];
  }
  return out;
}

void ExpectProbeMatches(const GeneratorOptions& o, const char* name) {
  if (access(kFfprobe, X_OK) != 0) GTEST_SKIP() << "ffprobe is not installed";
  const std::filesystem::path file = WriteStream(o, 2.0, name);
  const std::map<uint32_t, ProbedProgramme> probed = Probe(file);
  std::filesystem::remove(file);
  BroadcastGenerator g(o);
  const MultiplexInfo& mux = g.CurrentMultiplex();
  ASSERT_EQ(probed.size(), mux.services.size()) << name;
  for (const ServiceInfo& s : mux.services) {
    const auto it = probed.find(s.service_id);
    ASSERT_NE(it, probed.end()) << name << " service " << s.service_id;
    EXPECT_EQ(it->second.pmt_pid, s.pmt_pid);
    EXPECT_EQ(it->second.pcr_pid, s.pcr_pid);
    std::map<uint32_t, uint32_t> expected;
    for (const ComponentInfo& c : s.components) expected[c.pid] = c.stream_type;
    EXPECT_EQ(it->second.stream_types, expected) << name << " service " << s.service_id;
    if (s.scrambled) continue;
    // The coded pictures and audio frames are valid: ffprobe reads their parameters.
    const auto& video = it->second.fields.at(s.components[0].pid);
    EXPECT_EQ(video.at("codec_name"), "mpeg2video");
    EXPECT_EQ(video.at("width"), "1440");
    EXPECT_EQ(video.at("height"), "1080");
    EXPECT_EQ(video.at("display_aspect_ratio"), "16:9");
    const auto& audio = it->second.fields.at(s.components[1].pid);
    EXPECT_EQ(audio.at("codec_name"), "aac");
    EXPECT_EQ(audio.at("sample_rate"), "48000");
    EXPECT_EQ(audio.at("channels"), "2");
  }
}

TEST(FfprobeRoundTrip, TerrestrialStreamShowsTheRequestedProgrammes) {
  ExpectProbeMatches(GeneratorOptions{}, "terrestrial");
}

TEST(FfprobeRoundTrip, SatelliteStreamOf192BytePacketsWithFourServices) {
  GeneratorOptions o;
  o.satellite = true;
  o.packet_size = 192;
  o.service_count = 4;
  o.bit_rate = 24'000'000;
  o.scrambled_service = 103;
  ExpectProbeMatches(o, "satellite");
}

TEST(FfprobeRoundTrip, StreamOf204BytePacketsWithTwoServices) {
  GeneratorOptions o;
  o.packet_size = 204;
  o.service_count = 2;
  o.seed = 5;
  ExpectProbeMatches(o, "two_services");
}

}  // namespace
}  // namespace pelkan::streamgen
