#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "app/window_layout.h"
#include "core/settings.h"

namespace pelkan {

// The current directory of the process (no trailing slash, except for "/"); "." when unknown.
std::string CurrentDirectory();
// Path of `name` in `dir`: the directory, a '/' unless it ends in one, then the name.
std::string JoinPath(const std::string& dir, const std::string& name);
// Path of pelkan.ini in the home folder (HomeFolder: --home, PELKAN_HOME or the current directory).
std::string SettingsPath();
// Path of schedule.ini in the home folder.
std::string SchedulePath();
// Path of the programme guide, epg.sqlite, in the home folder.
std::string GuidePath();
// Path of the automatic reservation rules with their history, rules.sqlite, in the home folder.
std::string RulesPath();
// Path of the recordings' catalogue, library.sqlite, in the home folder.
std::string LibraryPath();

// Settings with every default; REC_AUTOPATH defaults to `current_dir`.
Settings DefaultSettings(const std::string& current_dir);
// Reads every key of SettingKeys() from the file at `path`, and those of WindowKeys() into
// `windows` when given; missing keys (and a missing file) give the defaults, an integer key with
// an empty value counts as missing, a number out of its key's range is held to it. Returns false
// when the file is missing.
bool LoadSettings(const std::string& path, const std::string& current_dir, Settings* out,
                  WindowLayout* windows = nullptr);
// Writes every key into the file at `path` in the keys' order, the windows' places too when
// `windows` is given, keeping the file's other lines (comments, unknown keys, the places when not
// given). Creates the file when missing. Returns false when it cannot be written.
bool SaveSettings(const std::string& path, const Settings& s, const WindowLayout* windows = nullptr);

}  // namespace pelkan
