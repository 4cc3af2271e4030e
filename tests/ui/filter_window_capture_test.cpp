// The filtering window on a running capture: the virtual tuner, CaptureApp with its processor and
// recorder, the service model bound to the application, the window on the model.
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDialog>
#include <QEventLoop>
#include <QGuiApplication>
#include <QHelpEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTableWidget>
#include <QTest>
#include <QTimeEdit>
#include <QTimer>
#include <QToolTip>
#include <atomic>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/capture_bindings.h"
#include "app/scheduled_capture.h"
#include "core/capture_app.h"
#include "core/dtv_ezusb_fx2.h"
#include "core/generator_ts_source.h"
#include "info/programme_text.h"
#include "info/service_filter_window.h"
#include "platform/broadcast_text.h"
#include "platform/text_codec.h"
#include "streamgen/broadcast_generator.h"
#include "tests/support/capture_fakes.h"
#include "tests/support/loopback_udp.h"
#include "ts/ts_processor.h"
#include "ui/filter_window.h"
#include "ui/qt_dispatcher.h"
#include "ui/qt_text.h"
#include "ui/schedule_list_window.h"
#include "usb/driver_config.h"
#include "usb/virtual_tuner.h"

namespace pelkan::ui {
namespace {

using testing::RecordingMessages;

constexpr uint64_t kRate = 60'000'000;

streamgen::GeneratorOptions Broadcast() {
  streamgen::GeneratorOptions o;
  o.bit_rate = kRate;
  o.seed = 11;
  return o;
}

std::unique_ptr<core::CDTV_EzUSBFX2> DeviceFor(usb::VirtualTunerOptions v) {
  auto device = std::make_unique<core::CDTV_EzUSBFX2>(std::make_shared<usb::VirtualTunerDriver>(v));
  device->OpenDevice();
  return device;
}

std::unique_ptr<core::CDTV_EzUSBFX2> GeneratorDevice(const streamgen::GeneratorOptions& options) {
  usb::VirtualTunerOptions v;
  v.bit_rate = options.bit_rate;
  v.source_factory = [options] { return std::make_unique<core::GeneratorTsSource>(options); };
  return DeviceFor(v);
}

uint16_t PidOf(const uint8_t* p) {
  return static_cast<uint16_t>((p[1] & 0x1F) << 8 | p[2]);
}

// What a recording holds: its PIDs and the service lists of its PATs, as the processor reads them.
struct Recording {
  std::set<uint16_t> pids;
  std::vector<std::set<uint16_t>> pats;
  size_t bytes = 0;
};

Recording Inspect(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), {});
  Recording r;
  r.bytes = file.size();
  for (size_t off = 0; off + 188 <= file.size(); off += 188) r.pids.insert(PidOf(&file[off]));
  TsProcessor p;
  p.SetDecodePsi(1);
  p.SetEventHandler(
      [](uint32_t type, int32_t, const uint8_t* data, uint32_t count, void* user) {
        if (type != EVENT_PROGRAM_LIST) return;
        std::set<uint16_t> services;
        for (uint32_t i = 0; i < count; ++i) {
          ProgramListEntry e;
          std::memcpy(&e, data + i * sizeof e, sizeof e);
          services.insert(e.program_number);
        }
        static_cast<Recording*>(user)->pats.push_back(services);
      },
      &r);
  CaptureStats stats;
  p.Feed(file.data(), static_cast<int>(file.size()), stats);
  p.Finish(stats);
  return r;
}

// Packets per elementary-stream PID as ffprobe reads a recording, or none without ffprobe.
std::optional<std::map<uint16_t, long>> ProbePackets(const std::string& path) {
  if (std::system("ffprobe -version > /dev/null 2>&1") != 0) return std::nullopt;
  const std::string out = path + ".probe";
  std::map<uint16_t, long> packets;
  if (std::system(("ffprobe -v error -count_packets -show_entries stream=id,nb_read_packets -of csv=p=0 " +
                   path + " > " + out + " 2>/dev/null")
                      .c_str()) != 0)
    return packets;
  // Lines "0x111,60" ("N/A" for no packets), blank lines between the programmes.
  std::ifstream in(out);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("0x", 0) != 0) continue;
    const size_t comma = line.find(',');
    if (comma == std::string::npos) continue;
    packets[static_cast<uint16_t>(std::stoul(line.substr(0, comma), nullptr, 16))] +=
        std::atol(line.c_str() + comma + 1);
  }
  return packets;
}

// Collects the datagrams sent to a loopback port on its own thread.
class UdpCollector {
 public:
  UdpCollector() {
    fd_ = testing::OpenLoopbackUdp(8 << 20, &port_);
    thread_ = std::thread([this] {
      std::vector<uint8_t> d(65536);
      while (!stop_.load()) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const ssize_t n = ::recv(fd_, d.data(), d.size(), 0);
        if (n > 0) bytes_.insert(bytes_.end(), d.begin(), d.begin() + n);
      }
    });
  }
  ~UdpCollector() {
    Finish();
    ::close(fd_);
  }
  uint16_t port() const { return port_; }
  // Stops collecting (after a quiet 50 ms) and returns the bytes.
  const std::vector<uint8_t>& Finish() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return bytes_;
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::vector<uint8_t> bytes_;
  std::thread thread_;
};

class FilterWindowCapture : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pelkan-filterwin-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    beat_.stop();
    QToolTip::hideText();
    if (app_) {
      app_->Disconnect();
      app_->bus().Remove(binding_.get());
    }
    binding_.reset();
    app_.reset();
    std::filesystem::remove_all(dir_);
  }

  void Connect(std::unique_ptr<core::CDTV_Base> device) {
    app_ = std::make_unique<CaptureApp>(&dispatcher_, &messages_);
    app_->settings().decode_psi = 1;
    app_->settings().proc_epg = 1;
    app_->SetDevice(std::move(device));
    binding_ = std::make_unique<ServiceFilterBinding>(model_, *app_);
    app_->bus().Add(binding_.get());
    window_.resize(760, 240);
    window_.show();
    ConnectRequest r;
    r.device_index = 0;
    r.in_address = usb::VirtualTunerDriver::kStreamEndpoint;
    r.out_address = core::kNoEndpoint;
    ASSERT_TRUE(app_->Connect(r)) << app_->GetLastError();
    // The heartbeat a session runs: the status refresh ticks the filter window's programmes.
    QObject::connect(&beat_, &QTimer::timeout, &context_, [this] {
      if (app_ && app_->IsConnected()) app_->RefreshStatus();
    });
    beat_.start(300);
  }

  QTableWidget* List() { return window_.findChild<QTableWidget*>(QStringLiteral("serviceList")); }
  QPushButton* Button() { return window_.findChild<QPushButton*>(QStringLiteral("filterButton")); }
  QString Cell(int row, int column) {
    QTableWidgetItem* item = List()->item(row, column);
    return item ? item->text() : QString();
  }
  // The rows show exactly `services` (in order) with names, components and current programmes.
  bool RowsComplete(const std::vector<streamgen::ServiceInfo>& services, bool with_programmes) {
    if (List()->rowCount() != static_cast<int>(services.size())) return false;
    for (int r = 0; r < List()->rowCount(); ++r) {
      if (Cell(r, 0) != QString::number(services[r].service_id) || Cell(r, 1).isEmpty() ||
          Cell(r, 4).isEmpty() || (with_programmes && Cell(r, 2).isEmpty()))
        return false;
    }
    return true;
  }
  void ToggleCheck(int row) {
    List()->setFocus();
    List()->setCurrentCell(row, 0);
    QTest::keyClick(List(), Qt::Key_Space);
  }
  // Waits until the processor has taken `blocks` more FIFO blocks.
  bool WaitBlocks(uint64_t blocks) {
    const uint64_t until = app_->BlocksFed() + blocks;
    return QTest::qWaitFor([&] { return app_->BlocksFed() >= until; }, 30000);
  }
  // A recording of `blocks` FIFO blocks, begun once a filter set before the call is in force.
  std::string Record(const std::string& name, uint64_t blocks) {
    EXPECT_TRUE(WaitBlocks(2));
    const std::string path = dir_ + "/" + name;
    EXPECT_TRUE(app_->ToggleRecording(false, path));
    EXPECT_TRUE(WaitBlocks(blocks));
    app_->ToggleRecording(true);
    return path;
  }

  std::string dir_;
  QObject context_;
  QtDispatcher dispatcher_{&context_};
  RecordingMessages messages_;
  ServiceFilterWindow model_{dispatcher_};
  FilterWindow window_{model_};
  std::unique_ptr<CaptureApp> app_;
  std::unique_ptr<ServiceFilterBinding> binding_;
  QTimer beat_;
};

TEST_F(FilterWindowCapture, UncheckedServiceLeavesTheRecordingWhileTheFilterIsOn) {
  const auto options = Broadcast();
  const streamgen::BroadcastGenerator generator(options);
  const auto& services = generator.Multiplex(0).services;
  ASSERT_EQ(services.size(), 3u);
  EXPECT_FALSE(Button()->isEnabled());
  Connect(GeneratorDevice(options));
  EXPECT_TRUE(Button()->isEnabled());
  EXPECT_TRUE(List()->isEnabled());

  ASSERT_TRUE(QTest::qWaitFor([&] { return RowsComplete(services, true); }, 30000))
      << List()->rowCount() << " rows";
  for (int r = 0; r < 3; ++r) {
    const streamgen::ServiceInfo& s = services[r];
    EXPECT_EQ(List()->item(r, 0)->checkState(), Qt::Checked);
    EXPECT_EQ(Cell(r, 1), QString::fromStdString(s.name));
    EXPECT_EQ(Cell(r, 3), FromSjis(PmtPidText(s.pmt_pid)));
    std::vector<ComponentEntry> components;
    for (const auto& c : s.components) components.push_back({c.stream_type, c.pid});
    EXPECT_EQ(Cell(r, 4), FromSjis(ComponentListText(components)));
    const auto programme = generator.CurrentProgramme(s.service_id);
    ASSERT_TRUE(programme.has_value());
    EXPECT_TRUE(Cell(r, 2).endsWith(QString::fromStdString(" " + programme->title)))
        << Cell(r, 2).toStdString();
  }

  // Service 1 unchecked, the filter on: its PAT entry and its own PIDs leave the recording.
  const streamgen::ServiceInfo& dropped = services[1];
  ToggleCheck(1);
  QTest::mouseClick(Button(), Qt::LeftButton);
  EXPECT_TRUE(Button()->isChecked());
  EXPECT_FALSE(List()->isEnabled());
  UdpCollector udp;
  app_->settings().network_address = "127.0.0.1";
  app_->settings().network_port = udp.port();
  ASSERT_TRUE(app_->ToggleSending(false));
  const std::string filtered = Record("filtered.ts", 150);
  app_->ToggleSending(true);
  const std::vector<uint8_t>& sent = udp.Finish();

  // Switched off: everything again.
  QTest::mouseClick(Button(), Qt::LeftButton);
  EXPECT_FALSE(Button()->isChecked());
  EXPECT_TRUE(List()->isEnabled());
  const std::string whole = Record("whole.ts", 150);

  app_->Disconnect();
  EXPECT_FALSE(Button()->isEnabled());
  EXPECT_FALSE(Button()->isChecked());
  EXPECT_FALSE(List()->isEnabled());
  EXPECT_TRUE(messages_.shown.empty());

  std::set<uint16_t> kept_pids, dropped_pids;
  for (const auto& s : services)
    for (const auto& c : s.components)
      (s.service_id == dropped.service_id ? dropped_pids : kept_pids).insert(c.pid);
  for (uint16_t pid : kept_pids) dropped_pids.erase(pid);
  ASSERT_FALSE(dropped_pids.empty());

  const Recording f = Inspect(filtered);
  ASSERT_GT(f.bytes, 2'000'000u);
  ASSERT_FALSE(f.pats.empty());
  for (const auto& pat : f.pats)
    EXPECT_EQ(pat, (std::set<uint16_t>{services[0].service_id, services[2].service_id}));
  for (uint16_t pid : dropped_pids) EXPECT_EQ(f.pids.count(pid), 0u) << "PID " << pid;
  EXPECT_EQ(f.pids.count(services[0].components[0].pid), 1u);
  EXPECT_EQ(f.pids.count(services[2].components[0].pid), 1u);
  // ffprobe reads no packet of the dropped service's streams (its PMT still passes and names them).
  if (const auto packets = ProbePackets(filtered)) {
    for (uint16_t pid : dropped_pids)
      EXPECT_EQ(packets->count(pid) ? packets->at(pid) : 0, 0) << "PID " << pid;
    EXPECT_GT(packets->count(services[0].components[0].pid) ? packets->at(services[0].components[0].pid) : 0,
              0);
  }

  // The UDP stream is the same output: the dropped service's PIDs are not sent either.
  ASSERT_GT(sent.size(), 1'000'000u);
  size_t sync = 0;
  while (sync < 188 && !(sent[sync] == 0x47 && sent[sync + 188] == 0x47)) ++sync;
  std::set<uint16_t> sent_pids;
  for (size_t off = sync; off + 188 <= sent.size(); off += 188) sent_pids.insert(PidOf(&sent[off]));
  for (uint16_t pid : dropped_pids) EXPECT_EQ(sent_pids.count(pid), 0u) << "sent PID " << pid;
  EXPECT_EQ(sent_pids.count(services[0].components[0].pid), 1u);

  const Recording w = Inspect(whole);
  ASSERT_FALSE(w.pats.empty());
  for (const auto& pat : w.pats)
    EXPECT_EQ(pat, (std::set<uint16_t>{services[0].service_id, dropped.service_id, services[2].service_id}));
  EXPECT_EQ(w.pids.count(dropped.components[0].pid), 1u);
  if (const auto packets = ProbePackets(whole)) {
    const uint16_t video = dropped.components[0].pid;
    EXPECT_GT(packets->count(video) ? packets->at(video) : 0, 0);
  }
}

TEST_F(FilterWindowCapture, ChannelChangeClearsTheRowsAndSwitchesTheFilterOff) {
  // A recorded broadcast that changes transport stream after 4 s, played by the virtual tuner as a
  // VIRTUAL_TUNER_FILE.
  streamgen::GeneratorOptions options;
  options.seed = 5;
  options.channel_change_seconds = 4;
  const std::string file = dir_ + "/change.ts";
  streamgen::BroadcastGenerator generator(options);
  {
    std::ofstream out(file, std::ios::binary);
    std::vector<uint8_t> chunk(188 * 1000);
    for (uint64_t left = options.bit_rate / 8 * 8; left > 0;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(left, chunk.size()));
      generator.Read(chunk.data(), n);
      out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(n));
      left -= n;
    }
  }
  ASSERT_EQ(generator.MultiplexCount(), 2);
  const auto& first = generator.Multiplex(0).services;
  const auto& second = generator.Multiplex(1).services;
  ASSERT_NE(first.front().service_id, second.front().service_id);
  usb::DriverConfig config;
  config.virtual_tuner_file = file;
  Connect(DeviceFor(usb::VirtualTunerOptionsFromConfig(config, core::MakeDefaultTsSource)));

  ASSERT_TRUE(QTest::qWaitFor([&] { return RowsComplete(first, false); }, 30000));
  ToggleCheck(0);
  QTest::mouseClick(Button(), Qt::LeftButton);
  ASSERT_TRUE(Button()->isChecked());
  ASSERT_EQ(Cell(0, 0), QString::number(first.front().service_id)) << "the stream changed too early";

  // The new stream's services only, from row 0, all checked; the filter off and the list usable.
  ASSERT_TRUE(QTest::qWaitFor([&] { return RowsComplete(second, false); }, 30000));
  EXPECT_FALSE(Button()->isChecked());
  EXPECT_FALSE(model_.FilterActive());
  EXPECT_TRUE(Button()->isEnabled());
  EXPECT_TRUE(List()->isEnabled());
  for (int r = 0; r < List()->rowCount(); ++r) EXPECT_EQ(List()->item(r, 0)->checkState(), Qt::Checked);
  EXPECT_EQ(Cell(0, 1), QString::fromStdString(second.front().name));

  // And the processor's filter is gone: a recording now holds every service of the new stream.
  const Recording r = Inspect(Record("after.ts", 40));
  ASSERT_FALSE(r.pats.empty());
  std::set<uint16_t> all;
  for (const auto& s : second) all.insert(s.service_id);
  EXPECT_EQ(r.pats.back(), all);
}

TEST_F(FilterWindowCapture, PopupReservationHandsOverTheProgrammeAndTheCaptureKeepsRunning) {
  const auto options = Broadcast();
  const streamgen::BroadcastGenerator generator(options);
  const auto& services = generator.Multiplex(0).services;
  Connect(GeneratorDevice(options));
  ASSERT_TRUE(QTest::qWaitFor([&] { return RowsComplete(services, true); }, 30000));

  // The edit dialog stand-in: takes the programme and stays open (a modal loop) for a while.
  struct Handed {
    uint16_t service_id = 0, event_id = 0;
    MjdTime start;
    uint32_t duration = 0;
    std::string title;
    uint64_t blocks_while_open = 0;
    int refreshes_while_open = 0;
  };
  std::vector<Handed> handed;
  int refreshes = 0;
  app_->SetStatusListener([&](const StatusSnapshot&) { ++refreshes; });
  auto stay_open = [&](Handed h) {
    const uint64_t before = app_->BlocksFed();
    const int refreshes_before = refreshes;
    QEventLoop loop;
    QTimer::singleShot(1500, &loop, &QEventLoop::quit);
    loop.exec();
    h.blocks_while_open = app_->BlocksFed() - before;
    h.refreshes_while_open = refreshes - refreshes_before;
    handed.push_back(h);
    return true;
  };
  model_.SetReserveCallbacks(
      [&](uint16_t sid, const MjdTime& start, uint32_t duration, std::string_view title) {
        return stay_open({sid, 0, start, duration, std::string(title)});
      },
      [&](uint16_t, uint16_t, uint16_t sid, uint16_t eid, std::string_view title) {
        return stay_open({sid, eid, {}, 0, std::string(title)});
      });

  auto choose = [&](int row, const char* sub, const char* item) {
    List()->selectRow(row);
    bool chosen = false;
    QTimer::singleShot(100, [&] {
      auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
      ASSERT_NE(menu, nullptr);
      for (QAction* a : menu->actions()) {
        if (a->menu() == nullptr || a->text() != U8(sub)) continue;
        for (QAction* b : a->menu()->actions()) {
          if (b->text() != U8(item)) continue;
          chosen = true;
          menu->close();
          b->trigger();
        }
      }
    });
    QWidget* viewport = List()->viewport();
    const QPoint pos(20, List()->rowViewportPosition(row) + 5);
    QContextMenuEvent event(QContextMenuEvent::Mouse, pos, viewport->mapToGlobal(pos));
    QApplication::sendEvent(viewport, &event);
    EXPECT_TRUE(QTest::qWaitFor([&] { return chosen; }, 5000));
  };

  const uint16_t sid = services[2].service_id;
  const auto programme = generator.CurrentProgramme(sid);
  ASSERT_TRUE(programme.has_value());
  choose(2, "現在の番組", "日時指定で録画予約");
  ASSERT_TRUE(QTest::qWaitFor([&] { return handed.size() == 1; }, 5000));
  EXPECT_EQ(handed[0].service_id, sid);
  EXPECT_EQ(handed[0].start.date, programme->start.date);
  EXPECT_EQ(handed[0].start.seconds, programme->start.seconds);
  EXPECT_EQ(handed[0].duration, programme->duration);
  EXPECT_EQ(platform::BroadcastToUtf8(handed[0].title), programme->title);
  // 1.5 s at 60 Mbit/s is about 340 blocks; the processing went on and so did the status refresh.
  EXPECT_GT(handed[0].blocks_while_open, 100u);
  EXPECT_GE(handed[0].refreshes_while_open, 2);
  EXPECT_EQ(app_->stats().fifo_overflows.load(), 0u);

  choose(2, "現在の番組", "イベントID指定で録画予約");
  ASSERT_TRUE(QTest::qWaitFor([&] { return handed.size() == 2; }, 5000));
  EXPECT_EQ(handed[1].service_id, sid);
  EXPECT_EQ(handed[1].event_id, programme->event_id);
  EXPECT_EQ(platform::BroadcastToUtf8(handed[1].title), programme->title);
  EXPECT_EQ(app_->stats().fifo_overflows.load(), 0u);
  app_->SetStatusListener(nullptr);
}

// The popup wired to the reservation list window as the desktop program wires it: the edit dialog
// opens filled with the programme while the capture goes on, and OK stores the reservation.
TEST_F(FilterWindowCapture, PopupOpensTheEditDialogFilledWithTheProgramme) {
  const auto options = Broadcast();
  const streamgen::BroadcastGenerator generator(options);
  const auto& services = generator.Multiplex(0).services;
  ScheduledCapture schedule([this](std::function<void()> work) { dispatcher_.Post(std::move(work)); });
  schedule.scheduler().SetDefaultDirectory(platform::Utf8ToSjis(dir_));
  ScheduleListWindow list_window(schedule, nullptr, &messages_);
  QPointer<ScheduleListWindow> target(&list_window);
  model_.SetReserveCallbacks(
      [target](uint16_t sid, const MjdTime& start, uint32_t duration, std::string_view title) {
        return target && target->ReserveProgrammeByTime(sid, start, duration, title);
      },
      [target](uint16_t nid, uint16_t tsid, uint16_t sid, uint16_t eid, std::string_view title) {
        return target && target->ReserveProgrammeByEvent(nid, tsid, sid, eid, title);
      });
  Connect(GeneratorDevice(options));
  ASSERT_TRUE(QTest::qWaitFor([&] { return RowsComplete(services, true); }, 30000));

  const uint16_t sid = services[1].service_id;
  const auto programme = generator.CurrentProgramme(sid);
  ASSERT_TRUE(programme.has_value());
  const QString title = QString::fromStdString(programme->title);
  int year = 0, month = 0, day = 0;
  MjdToDate(programme->start.date, &year, &month, &day);
  const QDate start_date(year, month, day);
  const QTime start_time(programme->start.seconds / 3600, programme->start.seconds % 3600 / 60,
                         programme->start.seconds % 60);
  const QTime duration(programme->duration / 3600, programme->duration % 3600 / 60, programme->duration % 60);

  // Chooses `sub` → `item` in the popup of row 1 and runs `in_dialog` on the edit dialog it opens.
  auto reserve = [&](const char* sub, const char* item, const std::function<void(QDialog*)>& in_dialog) {
    List()->selectRow(1);
    bool done = false;
    QTimer::singleShot(100, [&] {
      auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
      ASSERT_NE(menu, nullptr);
      QAction* chosen = nullptr;
      for (QAction* a : menu->actions()) {
        if (a->menu() == nullptr || a->text() != U8(sub)) continue;
        for (QAction* b : a->menu()->actions())
          if (b->text() == U8(item)) chosen = b;
      }
      ASSERT_NE(chosen, nullptr);
      QTimer::singleShot(200, [&] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        EXPECT_NE(dialog, nullptr);
        if (dialog != nullptr) in_dialog(dialog);
        done = true;
      });
      menu->close();
      chosen->trigger();
    });
    QWidget* viewport = List()->viewport();
    const QPoint pos(20, List()->rowViewportPosition(1) + 5);
    QContextMenuEvent event(QContextMenuEvent::Mouse, pos, viewport->mapToGlobal(pos));
    QApplication::sendEvent(viewport, &event);
    EXPECT_TRUE(QTest::qWaitFor([&] { return done; }, 10000));
  };
  auto child = [](QDialog* d, const char* name) { return d->findChild<QWidget*>(QString::fromLatin1(name)); };

  reserve("現在の番組", "日時指定で録画予約", [&](QDialog* d) {
    EXPECT_EQ(d->windowTitle(), U8("録画予約編集"));
    EXPECT_EQ(static_cast<QComboBox*>(child(d, "typeCombo"))->currentText(), U8("日時指定"));
    EXPECT_EQ(static_cast<QDateEdit*>(child(d, "dateEdit"))->date(), start_date);
    EXPECT_EQ(static_cast<QTimeEdit*>(child(d, "timeEdit"))->time(), start_time);
    EXPECT_EQ(static_cast<QTimeEdit*>(child(d, "durationEdit"))->time(), duration);
    EXPECT_TRUE(static_cast<QCheckBox*>(child(d, "serviceLimitCheck"))->isChecked());
    EXPECT_EQ(static_cast<QLineEdit*>(child(d, "serviceIdEdit"))->text(), QString::number(sid));
    EXPECT_TRUE(static_cast<QCheckBox*>(child(d, "fileNameCheck"))->isChecked());
    EXPECT_EQ(static_cast<QLineEdit*>(child(d, "fileNameEdit"))->text(),
              start_date.toString(QStringLiteral("yyyyMMdd-")) +
                  start_time.toString(QStringLiteral("HHmm-")) + title);
    EXPECT_EQ(static_cast<QLineEdit*>(child(d, "extensionEdit"))->text(), QStringLiteral(".ts"));
    EXPECT_EQ(static_cast<QLineEdit*>(child(d, "directoryEdit"))->text(), QString::fromStdString(dir_));
    // The capture goes on while the dialog is open.
    const uint64_t fed = app_->BlocksFed();
    QTest::qWait(800);
    EXPECT_GT(app_->BlocksFed(), fed + 50);
    QTest::mouseClick(static_cast<QPushButton*>(child(d, "okButton")), Qt::LeftButton);
  });
  const auto stored = schedule.scheduler().Reservations();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].start_day, programme->start.date);
  EXPECT_EQ(stored[0].start_second, programme->start.seconds);
  EXPECT_EQ(stored[0].duration, programme->duration);
  EXPECT_NE(stored[0].flags & SI_SERVICE_LIMIT, 0u);

  reserve("現在の番組", "イベントID指定で録画予約", [&](QDialog* d) {
    EXPECT_EQ(static_cast<QComboBox*>(child(d, "typeCombo"))->currentText(), U8("イベント指定"));
    EXPECT_EQ(static_cast<QLineEdit*>(child(d, "networkIdsEdit"))->text(),
              QString::asprintf("0x0000/0x0000/0x%04X", sid));
    EXPECT_EQ(static_cast<QLineEdit*>(child(d, "eventIdEdit"))->text(),
              QString::asprintf("0x%04X", programme->event_id));
    EXPECT_EQ(static_cast<QLineEdit*>(child(d, "fileNameEdit"))->text(), title);
    EXPECT_FALSE(static_cast<QCheckBox*>(child(d, "fileNameCheck"))->isChecked());
    EXPECT_FALSE(child(d, "dateEdit")->isEnabled());
    EXPECT_FALSE(child(d, "convertButton")->isEnabled());
    QTest::mouseClick(static_cast<QPushButton*>(child(d, "cancelButton")), Qt::LeftButton);
  });
  EXPECT_EQ(schedule.scheduler().Reservations().size(), 1u);
  EXPECT_EQ(app_->stats().fifo_overflows.load(), 0u);
  model_.SetReserveCallbacks(nullptr, nullptr);
}

// Screenshots for the documentation: the window with rows and an open tool tip, written to the
// folder named by PELKAN_SCREENSHOT_DIR (run under a real X server such as xvfb-run).
TEST_F(FilterWindowCapture, Screenshot) {
  const char* out_dir = std::getenv("PELKAN_SCREENSHOT_DIR");
  if (out_dir == nullptr) GTEST_SKIP() << "PELKAN_SCREENSHOT_DIR not set";
  auto options = Broadcast();
  options.service_count = 4;
  const streamgen::BroadcastGenerator generator(options);
  Connect(GeneratorDevice(options));
  window_.move(20, 20);
  window_.resize(960, 200);
  ASSERT_TRUE(QTest::qWaitFor([&] { return RowsComplete(generator.Multiplex(0).services, true); }, 30000));
  // As the user widens the columns (a double click on a header divider) to read them whole.
  for (int column : {1, 2, 4}) List()->resizeColumnToContents(column);
  ToggleCheck(2);
  List()->selectRow(1);
  QTest::qWait(300);
  QWidget* viewport = List()->viewport();
  const QPoint pos(140, List()->rowViewportPosition(1) + List()->rowHeight(1) / 2);
  QHelpEvent help(QEvent::ToolTip, pos, viewport->mapToGlobal(pos));
  QApplication::sendEvent(viewport, &help);
  ASSERT_TRUE(QToolTip::isVisible());
  QTest::qWait(500);
  QScreen* screen = QGuiApplication::primaryScreen();
  QRect area = window_.frameGeometry();
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w->inherits("QTipLabel") && w->isVisible()) area |= w->geometry();
  }
  area.adjust(-10, -10, 10, 10);
  const QPixmap shot = screen->grabWindow(0, area.x(), area.y(), area.width(), area.height());
  const QString suffix = screen->devicePixelRatio() > 1.5 ? QStringLiteral("-2x") : QString();
  ASSERT_TRUE(shot.save(QString::fromUtf8(out_dir) + QStringLiteral("/filter-window") + suffix +
                        QStringLiteral(".png")));
}

}  // namespace
}  // namespace pelkan::ui
