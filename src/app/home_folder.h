#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace pelkan {

// The home: the one folder of pelkan.ini, schedule.ini and epg.sqlite, shared by the desktop
// program and the recorder service.

// What the home is chosen from. Empty texts count as unset.
struct HomeInputs {
  std::optional<std::string> flag;  // the value of --home
  std::string pelkan_home;          // PELKAN_HOME
  std::string xdg_data_home;        // XDG_DATA_HOME
  std::string user_home;            // HOME
  std::string current_dir;          // the process's current directory
};

// Where the chosen home came from.
enum class HomeSource { kFlag, kPelkanHome, kXdgData, kCurrentDirectory };

struct Home {
  std::string dir;  // absolute, without a trailing slash (except "/")
  HomeSource source = HomeSource::kCurrentDirectory;
};

// HomeInputs of this process with `flag` as the value of --home.
HomeInputs HomeInputsFromEnvironment(std::optional<std::string> flag);

// The desktop program's home: --home, else PELKAN_HOME, else $XDG_DATA_HOME/pelkan (an
// XDG_DATA_HOME that is not absolute is ignored, as the XDG base directories say), else
// $HOME/.local/share/pelkan; the current directory when even HOME is unknown. A relative --home or
// PELKAN_HOME is taken from the current directory.
Home DesktopHome(const HomeInputs& in);
// pelkan-cli's home: --home, else PELKAN_HOME, else the current directory (scripts rely on that).
Home CliHome(const HomeInputs& in);

// Makes `dir` and its missing parents (new folders private to the user, as XDG asks for data).
// Returns false with the reason in `*error` when it cannot.
bool MakeHomeFolder(const std::string& dir, std::string* error);

// The folder of this process's files: the one set by SetHomeFolder, else the current directory.
std::string HomeFolder();
// Sets it for the whole process (the front-end does so once at start, from --home or PELKAN_HOME);
// empty goes back to the current directory.
void SetHomeFolder(const std::string& dir);

// How the user's videos folder is looked up; every part can be replaced by tests.
struct VideosLookup {
  // Runs `xdg-user-dir VIDEOS`: its answer, or nullopt when the program is not there or fails.
  std::function<std::optional<std::string>()> ask_xdg_user_dir;
  std::string user_home;        // HOME
  std::string xdg_config_home;  // XDG_CONFIG_HOME (user-dirs.dirs is read from it, else ~/.config)
};

// The lookup of this process (the real xdg-user-dir, found on PATH).
VideosLookup VideosLookupFromEnvironment();
// XDG_VIDEOS_DIR of the text of a user-dirs.dirs file ("$HOME/..." or an absolute path, in double
// quotes); empty when the file does not set it or sets it to something else.
std::string VideosDirFromUserDirs(const std::string& text, const std::string& user_home);
// The default recording folder of a new home: the user's videos folder (what xdg-user-dir says,
// else XDG_VIDEOS_DIR of user-dirs.dirs) when that is an existing folder other than the home
// folder itself (what xdg-user-dir answers for one not set up), else `fallback`.
std::string VideosFolder(const VideosLookup& lookup, const std::string& fallback);

// The desktop program's start in its home.
struct DesktopHomeStart {
  std::string dir;         // the home (DesktopHome), made when missing
  // The default of REC_AUTOPATH (UTF-8): for a new home the videos folder, else ~/Videos/pelkan
  // (made then).
  std::string record_dir;
  // What to tell the user once (UTF-8): a home that cannot be made; for a new home, files that
  // an earlier start left in the current directory (they are not moved; both folders are named).
  std::vector<std::string> notices;
};
// Chooses and makes the home of `in`; a home without pelkan.ini is new.
DesktopHomeStart StartDesktopHome(const HomeInputs& in, const VideosLookup& videos);

}  // namespace pelkan
