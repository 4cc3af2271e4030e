#include "app/home_folder.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "app/settings.h"
#include "tests/support/temp_dir.h"

namespace pelkan {
namespace {

// Which home each front-end takes for each combination of --home, PELKAN_HOME, XDG_DATA_HOME and HOME.
TEST(HomeFolder, ChoiceByFlagEnvironmentAndXdg) {
  struct Case {
    const char* name;
    std::optional<std::string> flag;
    std::string pelkan_home, xdg_data_home, user_home;
    std::string desktop;
    HomeSource desktop_source;
    std::string cli;
    HomeSource cli_source;
  };
  const std::string cwd = "/work/here";
  const Case cases[] = {
      {"flag wins over everything", "/srv/tv", "/env/tv", "/xdg", "/home/u", "/srv/tv", HomeSource::kFlag, "/srv/tv",
       HomeSource::kFlag},
      {"relative flag is taken from here", "tv/", "/env/tv", "", "/home/u", "/work/here/tv", HomeSource::kFlag,
       "/work/here/tv", HomeSource::kFlag},
      {"steps of a relative flag are resolved", "../tv/./rec", "", "", "/home/u", "/work/tv/rec",
       HomeSource::kFlag, "/work/tv/rec", HomeSource::kFlag},
      {"empty flag counts as none", "", "/env/tv/", "/xdg", "/home/u", "/env/tv", HomeSource::kPelkanHome,
       "/env/tv", HomeSource::kPelkanHome},
      {"PELKAN_HOME", std::nullopt, "/env/tv", "/xdg", "/home/u", "/env/tv", HomeSource::kPelkanHome, "/env/tv",
       HomeSource::kPelkanHome},
      {"relative PELKAN_HOME", std::nullopt, "rec", "", "/home/u", "/work/here/rec", HomeSource::kPelkanHome,
       "/work/here/rec", HomeSource::kPelkanHome},
      {"XDG_DATA_HOME", std::nullopt, "", "/xdg/data/", "/home/u", "/xdg/data/pelkan", HomeSource::kXdgData, cwd,
       HomeSource::kCurrentDirectory},
      {"XDG_DATA_HOME unset", std::nullopt, "", "", "/home/u", "/home/u/.local/share/pelkan", HomeSource::kXdgData,
       cwd, HomeSource::kCurrentDirectory},
      {"relative XDG_DATA_HOME is ignored", std::nullopt, "", "data", "/home/u", "/home/u/.local/share/pelkan",
       HomeSource::kXdgData, cwd, HomeSource::kCurrentDirectory},
      {"no HOME either", std::nullopt, "", "", "", cwd, HomeSource::kCurrentDirectory, cwd,
       HomeSource::kCurrentDirectory},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const HomeInputs in{c.flag, c.pelkan_home, c.xdg_data_home, c.user_home, cwd};
    const Home desktop = DesktopHome(in);
    EXPECT_EQ(desktop.dir, c.desktop);
    EXPECT_EQ(desktop.source, c.desktop_source);
    const Home cli = CliHome(in);
    EXPECT_EQ(cli.dir, c.cli);
    EXPECT_EQ(cli.source, c.cli_source);
  }
}

TEST(HomeFolder, MadeWithItsParentsAndPrivate) {
  test::TempDir temp;
  const std::string dir = temp.path() + "/data/pelkan";
  std::string error;
  ASSERT_TRUE(MakeHomeFolder(dir, &error)) << error;
  EXPECT_TRUE(std::filesystem::is_directory(dir));
  struct stat st{};
  ASSERT_EQ(::stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(MakeHomeFolder(dir, &error)) << error;  // already there

  std::ofstream(temp.path() + "/file") << "x";
  EXPECT_FALSE(MakeHomeFolder(temp.path() + "/file", &error));
  EXPECT_FALSE(MakeHomeFolder(temp.path() + "/file/pelkan", &error));
  EXPECT_NE(error.find(temp.path() + "/file"), std::string::npos) << error;
}

// The files' paths follow the home set for the process, and go back to the current directory.
TEST(HomeFolder, SettingsScheduleAndGuidePathsFollowTheHome) {
  SetHomeFolder("/srv/tv");
  EXPECT_EQ(HomeFolder(), "/srv/tv");
  EXPECT_EQ(SettingsPath(), "/srv/tv/pelkan.ini");
  EXPECT_EQ(SchedulePath(), "/srv/tv/schedule.ini");
  EXPECT_EQ(GuidePath(), "/srv/tv/epg.sqlite");
  SetHomeFolder("");
  EXPECT_EQ(HomeFolder(), CurrentDirectory());
  EXPECT_EQ(SettingsPath(), JoinPath(CurrentDirectory(), "pelkan.ini"));
}

TEST(HomeFolder, VideosDirOfUserDirsFile) {
  struct Case {
    const char* text;
    std::string videos;
  };
  const Case cases[] = {
      {"XDG_VIDEOS_DIR=\"$HOME/Videos\"\n", "/home/u/Videos"},
      {"# comment\nXDG_MUSIC_DIR=\"$HOME/Music\"\nXDG_VIDEOS_DIR=\"$HOME/ビデオ\"\n", "/home/u/ビデオ"},
      {"XDG_VIDEOS_DIR=\"/media/tv/\"\r\n", "/media/tv"},
      {"  XDG_VIDEOS_DIR=\"$HOME\"\n", "/home/u"},
      {"XDG_VIDEOS_DIR=\"$HOMEx/v\"\n", ""},
      {"XDG_VIDEOS_DIR=\"relative\"\n", ""},
      {"XDG_VIDEOS_DIR=$HOME/Videos\n", ""},
      {"# XDG_VIDEOS_DIR=\"$HOME/Videos\"\n", ""},
      {"XDG_MUSIC_DIR=\"$HOME/Music\"\n", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(VideosDirFromUserDirs(c.text, "/home/u"), c.videos);
  }
  EXPECT_EQ(VideosDirFromUserDirs("XDG_VIDEOS_DIR=\"$HOME/Videos\"\n", ""), "");
}

// xdg-user-dir first, then user-dirs.dirs (XDG_CONFIG_HOME, else ~/.config), then the fallback; an
// answer that is no existing folder counts as none.
TEST(HomeFolder, VideosFolderLookupOrder) {
  test::TempDir temp;
  const std::string home = temp.path();
  std::filesystem::create_directories(home + "/Videos");
  std::filesystem::create_directories(home + "/Films");
  std::filesystem::create_directories(home + "/.config");
  std::filesystem::create_directories(home + "/cfg");
  std::ofstream(home + "/.config/user-dirs.dirs") << "XDG_VIDEOS_DIR=\"$HOME/Videos\"\n";
  std::ofstream(home + "/cfg/user-dirs.dirs") << "XDG_VIDEOS_DIR=\"$HOME/Films\"\n";
  struct Case {
    const char* name;
    std::optional<std::string> xdg_user_dir;
    std::string config_home;
    std::string folder;
  };
  const Case cases[] = {
      {"xdg-user-dir answers", home + "/Films", "", home + "/Films"},
      {"xdg-user-dir missing: ~/.config", std::nullopt, "", home + "/Videos"},
      {"xdg-user-dir names no folder", home + "/gone", "", home + "/Videos"},
      {"xdg-user-dir answers the home itself", home + "/", "", home + "/Videos"},
      {"XDG_CONFIG_HOME", std::nullopt, home + "/cfg", home + "/Films"},
      {"relative XDG_CONFIG_HOME is ignored", std::nullopt, "cfg", home + "/Videos"},
      {"no user-dirs.dirs: the fallback", std::nullopt, home + "/Videos", "/fallback"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VideosLookup lookup;
    lookup.ask_xdg_user_dir = [&c] { return c.xdg_user_dir; };
    lookup.user_home = home;
    lookup.xdg_config_home = c.config_home;
    EXPECT_EQ(VideosFolder(lookup, "/fallback"), c.folder);
  }
  std::filesystem::remove_all(home + "/Videos");
  VideosLookup lookup;
  lookup.user_home = home;
  EXPECT_EQ(VideosFolder(lookup, "/fallback"), "/fallback");  // the folder of user-dirs.dirs is gone
  std::ofstream(home + "/.config/user-dirs.dirs") << "XDG_VIDEOS_DIR=\"$HOME/\"\n";
  EXPECT_EQ(VideosFolder(lookup, "/fallback"), "/fallback");  // set to the home itself
}

// A new home is made and records into the videos folder; files of an earlier start in the current
// directory are named with the new home, only while the home is new and not the same folder.
TEST(HomeFolder, DesktopStartInANewOrKnownHome) {
  test::TempDir temp;
  const std::string root = temp.path();
  std::filesystem::create_directories(root + "/u/Videos");
  std::ofstream(root + "/u/pelkan.ini") << "";
  VideosLookup videos;
  videos.ask_xdg_user_dir = [&root]() -> std::optional<std::string> { return root + "/u/Videos"; };
  const std::string home = root + "/data/pelkan";
  const std::string moved = "設定と予約のファイルの場所が変わりました。\n以前の場所: " + root +
                            "/u\n今の場所: " + home + "\n以前のファイルを使うには、今の場所へ移してください。";
  struct Case {
    const char* name;
    std::string current_dir;
    bool home_has_settings;
    std::string record_dir;
    std::vector<std::string> notices;
  };
  const Case cases[] = {
      {"new home, old files here", root + "/u", false, root + "/u/Videos", {moved}},
      {"new home, nothing here", root + "/data", false, root + "/u/Videos", {}},
      {"known home", root + "/u", true, home, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(root + "/data");
    if (c.home_has_settings) {
      std::filesystem::create_directories(home);
      std::ofstream(home + "/pelkan.ini") << "";
    }
    const HomeInputs in{std::nullopt, "", root + "/data", root + "/u", c.current_dir};
    const DesktopHomeStart start = StartDesktopHome(in, videos);
    EXPECT_EQ(start.dir, home);
    EXPECT_TRUE(std::filesystem::is_directory(home));
    EXPECT_EQ(start.record_dir, c.record_dir);
    EXPECT_EQ(start.notices, c.notices);
  }
  // No videos folder (xdg-user-dir answers the home): ~/Videos/pelkan, made.
  std::filesystem::remove_all(root + "/data");
  VideosLookup none;
  none.ask_xdg_user_dir = [&root]() -> std::optional<std::string> { return root + "/u"; };
  none.user_home = root + "/u";
  const DesktopHomeStart own = StartDesktopHome(HomeInputs{std::nullopt, "", root + "/data", root + "/u", root}, none);
  EXPECT_EQ(own.record_dir, root + "/u/Videos/pelkan");
  EXPECT_TRUE(std::filesystem::is_directory(root + "/u/Videos/pelkan"));
  std::ofstream(root + "/file") << "";
  const DesktopHomeStart blocked = StartDesktopHome(HomeInputs{root + "/file", "", "", "", root}, videos);
  ASSERT_EQ(blocked.notices.size(), 1u);
  EXPECT_EQ(blocked.notices[0].rfind("ホームフォルダ " + root + "/file を作れません。\n(", 0), 0u) << blocked.notices[0];
}

}  // namespace
}  // namespace pelkan
