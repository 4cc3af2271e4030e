// The desktop program keeps its files in its home (--home, PELKAN_HOME, $XDG_DATA_HOME/pelkan),
// whatever folder it is started in.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include "app/settings.h"
#include "platform/text_codec.h"
#include "tests/ui/ui_test_support.h"
#include "ui/desktop_program.h"

namespace pelkan::ui {
namespace {

using testing::WaitFor;

// Sets environment variables for one test and puts the old values back.
class EnvironmentGuard {
 public:
  ~EnvironmentGuard() {
    for (const auto& [name, value] : saved_) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
  }
  void Set(const std::string& name, const std::optional<std::string>& value) {
    if (saved_.count(name) == 0) {
      const char* old = std::getenv(name.c_str());
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    if (value) {
      ::setenv(name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

class DesktopHomeTest : public ::testing::Test, public testing::DesktopFixture {
 protected:
  void SetUp() override {
    options.current_dir.clear();
    user_ = (dir / "u").string();
    std::filesystem::create_directories(user_ + "/.config");
    std::filesystem::create_directories(user_ + "/Videos");
    std::ofstream(user_ + "/.config/user-dirs.dirs") << "XDG_VIDEOS_DIR=\"$HOME/Videos\"\n";
    env_.Set("HOME", user_);
    env_.Set("XDG_CONFIG_HOME", std::nullopt);
    env_.Set("XDG_DATA_HOME", (dir / "data").string());
    env_.Set("PELKAN_HOME", std::nullopt);
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    cwd_ = cwd;
    // Started from the menu: in the user's home folder.
    ASSERT_EQ(::chdir(user_.c_str()), 0);
  }
  void TearDown() override {
    Stop();
    ASSERT_EQ(::chdir(cwd_.c_str()), 0);
  }
  // Starts, closes and ends the program; the messages it showed.
  std::string Run() {
    messages.shown.clear();
    Start();
    WaitFor([] { return false; }, 200);  // the posted notices
    const std::string shown = Messages();
    EXPECT_TRUE(Close());
    EXPECT_TRUE(program_->Finish());
    Stop();
    return shown;
  }

  EnvironmentGuard env_;
  std::string user_;
  std::string cwd_;
};

// The home by --home, PELKAN_HOME or XDG_DATA_HOME: made at the first start, pelkan.ini written
// there (none in the current directory), and a new home records into the videos folder.
TEST_F(DesktopHomeTest, FilesLiveInTheHomeChosenByFlagEnvironmentOrXdg) {
  struct Case {
    const char* name;
    std::optional<std::string> flag;
    std::optional<std::string> pelkan_home;
    std::string home;
  };
  const std::string d = dir.string();
  const Case cases[] = {
      {"XDG_DATA_HOME", std::nullopt, std::nullopt, d + "/data/pelkan"},
      {"PELKAN_HOME", std::nullopt, d + "/env", d + "/env"},
      {"--home over PELKAN_HOME", d + "/flag/tv", d + "/env2", d + "/flag/tv"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    options.home_flag = c.flag;
    env_.Set("PELKAN_HOME", c.pelkan_home);
    Start();
    EXPECT_TRUE(std::filesystem::is_directory(c.home));
    EXPECT_EQ(platform::SjisToUtf8(program_->settings().rec_autopath), user_ + "/Videos");
    ASSERT_TRUE(Close());
    ASSERT_TRUE(program_->Finish());
    Stop();
    EXPECT_TRUE(std::filesystem::exists(c.home + "/pelkan.ini"));
    EXPECT_FALSE(std::filesystem::exists(user_ + "/pelkan.ini"));
    Settings saved;
    LoadSettings(c.home + "/pelkan.ini", "/unused", &saved);
    EXPECT_EQ(saved.rec_autopath, user_ + "/Videos");
  }
  EXPECT_TRUE(messages.shown.empty()) << Messages();
}

// Files of an earlier start in the current directory stay there; the first start in the new home
// says where they are and where the program looks now, once.
TEST_F(DesktopHomeTest, FilesInTheOldPlaceAreToldOnceAndNotMoved) {
  std::ofstream(user_ + "/pelkan.ini") << "[Pelkan_Q]\nREC_AUTOPATH=/old\n";
  std::ofstream(user_ + "/schedule.ini") << "";
  const std::string home = dir.string() + "/data/pelkan";
  EXPECT_EQ(Run(), "pelkan|設定と予約のファイルの場所が変わりました。\n以前の場所: " + user_ + "\n今の場所: " + home +
                       "\n以前のファイルを使うには、今の場所へ移してください。");
  std::ifstream old(user_ + "/pelkan.ini");
  std::stringstream text;
  text << old.rdbuf();
  EXPECT_EQ(text.str(), "[Pelkan_Q]\nREC_AUTOPATH=/old\n");
  EXPECT_TRUE(std::filesystem::exists(home + "/pelkan.ini"));
  EXPECT_EQ(Run(), "");  // told once
}

}  // namespace
}  // namespace pelkan::ui
