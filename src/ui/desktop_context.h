#pragma once

#include <functional>
#include <string>

#include "app/settings.h"
#include "guide/guide_event.h"

namespace pelkan {
class CaptureApp;
class ChannelWindow;
class Dispatcher;
class RuleFiles;
class ScheduledCapture;
class ServiceFilterWindow;
class UserMessages;
}  // namespace pelkan

namespace pelkan::ui {

// The desktop program's objects as the windows see them; every one outlives the windows.
struct DesktopContext {
  // The settings file's record: the capture application's own (app.settings()).
  Settings& settings;
  // The windows' places, read from and written to the same file.
  WindowLayout& windows;
  CaptureApp& app;
  UserMessages& messages;
  Dispatcher& dispatcher;
  // The broadcast-information model the filtering window shows.
  ServiceFilterWindow& services;
  // The recording scheduler with its hand-over to the capture (scheduler() for the list window).
  ScheduledCapture& schedule;
  // The channel window's model.
  ChannelWindow& channels;
  // schedule.ini, and whether the reservations were read from it: an unread list is never
  // written over the file.
  std::string schedule_path;
  bool schedule_loaded = false;
  // The programme guide's file (epg.sqlite), which the guide window reads.
  std::string guide_path;
  // The automatic reservation rules (rules.sqlite), and the run of them after the rule window
  // changed one (null when the reservations were not read: no rules run).
  std::string rules_path;
  std::function<void()> run_rules;
  // The status bar's wake alarm text (UTF-8, "" for none); none when not set.
  std::function<std::string()> wake_alarm_text;
  // What the guide's collector says while it cannot write the guide (Shift-JIS, "" while it
  // writes); none when not set.
  std::function<std::string()> guide_status;
  // The rules' and the guide's files the rule window shares with the session's rules and pages.
  RuleFiles* rule_files = nullptr;
  // The recordings' catalogue (library.sqlite) the recordings window reads, and the HTTP server's
  // tokens (http-tokens) its chasing playback's URL carries beyond loopback.
  std::string library_path;
  std::string http_tokens_path;
};

// The broadcast time the windows go by (JST): the broadcast's clock while it is received, else
// the machine's.
GuideTime DesktopNow(const DesktopContext& context);

}  // namespace pelkan::ui
