#include "ui/main_window.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QIcon>
#include <QIntValidator>
#include <QLabel>
#include <QMessageBox>
#include <QRegularExpressionValidator>
#include <QShortcut>
#include <QSizeGrip>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <cstdio>

#include "app/device_list.h"
#include "app/recorder_handoff.h"
#include "app/scheduled_capture.h"
#include "app/watch_urls.h"
#include "core/capture_app.h"
#include "core/channel_window.h"
#include "core/dtv_ezusb_fx2.h"
#include "info/service_filter_window.h"
#include "platform/text_codec.h"
#include "schedule/recording_scheduler.h"
#include "ui/channel_tool_window.h"
#include "ui/figure_label.h"
#include "ui/options_dialog.h"
#include "ui/qt_text.h"
#include "ui/report_opener.h"
#include "ui/tool_window_factory.h"
#include "ui/version_dialog.h"
#include "ui_main_window.h"

namespace pelkan::ui {

namespace {

// Right edges of the status bar's first three parts; the last part reaches to the window's edge.
constexpr int kBarEdges[3] = {50, 105, 250};

// A status text, shown only when it changed (a FigureLabel repaints itself alone).
void ShowValue(FigureLabel* label, const std::string& sjis) {
  label->Show(FromSjis(sjis));
}

void Place(ToolWindow* window, const StoredWindow& stored) {
  if (window == nullptr) return;
  window->RestorePlacement(WindowPlacement{stored.x, stored.y, stored.width, stored.height});
  if (stored.show != 0) window->show();
}

// The stored place of a tool window (position, size, shown), as Place restores it. A window that
// keeps no size in the file gets its size stored all the same: it is not written.
void Store(const ToolWindow* window, StoredWindow* stored) {
  if (window == nullptr) return;
  const WindowPlacement p = window->SavedPlacement();
  *stored = StoredWindow{window->isVisible() ? 1 : 0, p.x, p.y, p.width, p.height};
}

}  // namespace

MainWindow::MainWindow(DesktopContext& context, QWidget* parent)
    : QMainWindow(parent), ui_(std::make_unique<Ui::MainWindow>()), context_(context) {
  ui_->setupUi(this);
  setWindowIcon(QIcon(QStringLiteral(":/pelkan/pelkan.png")));
  const WindowLayout& s = context_.windows;
  const Settings& cs = context_.app.settings();

  // Esc closes like the close box and "終了(&X)"; all three end in closeEvent.
  auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  escape->setObjectName(QStringLiteral("escapeShortcut"));
  connect(escape, &QShortcut::activated, this, &QWidget::close);

  static const char* const kBarDescriptions[4] = {"(未使用)", "録画の経過時間", "自動停止までの時間",
                                                  "録画予約の状態"};
  // Four parts at fixed places (LayoutStatusParts), outside the status bar's own layout; the status
  // refresh writes the second to fourth, the first stays empty.
  for (int i = 0; i < 4; ++i) {
    auto* part = new FigureLabel(ui_->statusBar);
    part->setObjectName(QStringLiteral("statusPart%1").arg(i));
    part->setAccessibleDescription(U8(kBarDescriptions[i]));
    part->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    bar_[static_cast<size_t>(i)] = part;
  }
  ui_->statusBar->setMinimumHeight(bar_[0]->sizeHint().height() + 4);
  // The size grip stays above the last part, as in any status bar.
  if (auto* grip = ui_->statusBar->findChild<QSizeGrip*>()) grip->raise();
  ui_->statusBar->installEventFilter(this);
  LayoutStatusParts();

  ui_->stopTimerEdit->setValidator(new QIntValidator(0, CaptureApp::kMaxStopMinutes, ui_->stopTimerEdit));
  const QRegularExpression digits(QStringLiteral("[0-9]*"));
  ui_->portEdit->setValidator(new QRegularExpressionValidator(digits, ui_->portEdit));
  ui_->sendSizeEdit->setValidator(new QRegularExpressionValidator(digits, ui_->sendSizeEdit));

  ui_->initCheck->setChecked(cs.sorvalink_init != 0);
  ui_->descrambleCheck->setChecked(cs.arib_b25_proc != 0);
  ui_->stopTimerEdit->setText(QString::number(Recording::ClampStopMinutes(cs.rec_time)));
  ui_->addressEdit->setText(FromSjis(cs.network_address));
  ui_->portEdit->setText(QString::number(static_cast<uint32_t>(cs.network_port)));
  ui_->sendSizeEdit->setText(QString::number(static_cast<uint32_t>(cs.network_send_size)));

  connect(ui_->optionsAction, &QAction::triggered, this, &MainWindow::OpenOptions);
  connect(ui_->versionAction, &QAction::triggered, this, [this] {
    VersionDialog box(this);
    box.exec();
  });
  connect(ui_->exitAction, &QAction::triggered, this, &QWidget::close);
  connect(ui_->clearAction, &QAction::triggered, this, [this] { context_.app.ClearStatistics(); });
  connect(ui_->rescanButton, &QPushButton::clicked, this, &MainWindow::RefreshDeviceList);
  connect(ui_->deviceCombo, &QComboBox::currentIndexChanged, this, &MainWindow::RefreshEndpointList);
  // The three switches act on the change of their check state, whichever way it came (a click, the
  // keyboard, an accessibility "Toggle"). UpdateControls then shows the program's state; a change
  // that already matches it (UpdateControls' own) does nothing.
  connect(ui_->connectButton, &QPushButton::toggled, this, [this](bool on) {
    if (on != context_.app.IsConnected()) ToggleConnect();
  });
  connect(ui_->recordButton, &QPushButton::toggled, this, [this](bool on) {
    if (on != context_.app.IsRecording()) ToggleRecording();
  });
  connect(ui_->sendButton, &QPushButton::toggled, this, [this](bool on) {
    if (on != context_.app.IsSending()) ToggleSending();
  });
  connect(ui_->plusTenButton, &QPushButton::clicked, this, &MainWindow::ExtendStopTimer);
  connect(ui_->lastRecordingValue, &QLabel::linkActivated, this, [this] {
    if (const auto last = context_.app.GetLastRecording()) OpenReport(last->report_path);
  });
  // The desktop's player for the playlist (xdg-open on a Linux desktop).
  connect(ui_->watchValue, &QLabel::linkActivated, this,
          [](const QString& url) { QDesktopServices::openUrl(QUrl(url)); });
  ui_->watchValue->hide();

  if (s.main.HasPosition()) move(s.main.x, s.main.y);

  // The menu's tool windows, made at their first use when the window is not yet shown.
  connect(ui_->channelAction, &QAction::triggered, this, [this] { ToggleToolWindow(channelWindow()); });
  connect(ui_->filterAction, &QAction::triggered, this, [this] { ToggleToolWindow(filterWindow()); });
  connect(ui_->scheduleAction, &QAction::triggered, this, [this] { ToggleToolWindow(scheduleWindow()); });
  connect(ui_->guideAction, &QAction::triggered, this, [this] { ToggleToolWindow(guideWindow()); });
  connect(ui_->ruleAction, &QAction::triggered, this, [this] { ToggleToolWindow(ruleWindow()); });
  connect(ui_->libraryAction, &QAction::triggered, this, [this] { ToggleToolWindow(recordingsWindow()); });

  RefreshDeviceList();
}

MainWindow::~MainWindow() = default;

// The tool windows cost more to make than the window itself (the guide's and the recordings'
// models, their widgets): made once the window has been drawn, they do not hold it back. A window
// shown but not drawn (not exposed) makes them a second later all the same; one whose exit was
// accepted before does not.
void MainWindow::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (!tool_windows_made_) QTimer::singleShot(1000, this, [this] { if (!exited_) MakeToolWindows(); });
}

void MainWindow::paintEvent(QPaintEvent* event) {
  QMainWindow::paintEvent(event);
  if (!tool_windows_made_) QTimer::singleShot(0, this, [this] { if (!exited_) MakeToolWindows(); });
}

const MainWindow& MainWindow::ToolWindows() const {
  const_cast<MainWindow*>(this)->MakeToolWindows();
  return *this;
}

void MainWindow::MakeToolWindows() {
  if (tool_windows_made_) return;
  tool_windows_made_ = true;
  const WindowLayout& s = context_.windows;
  // They exist whether or not the device could be opened.
  channel_window_ = new ChannelToolWindow(context_.channels, this);
  channel_window_->setObjectName(QStringLiteral("channelWindow"));
  filter_window_ = CreateFilterToolWindow(context_, this);
  schedule_window_ = CreateScheduleToolWindow(context_, this);
  Place(channel_window_, s.channel);
  Place(filter_window_, s.filter);
  Place(schedule_window_, s.schedule);
  rule_window_ = CreateRuleToolWindow(context_, this);
  Place(rule_window_, s.rule);
  guide_window_ = CreateGuideToolWindow(context_, this, schedule_window_, rule_window_);
  Place(guide_window_, s.guide);
  recordings_window_ = CreateRecordingsToolWindow(context_, this, schedule_window_);
  Place(recordings_window_, s.library);
  for (ToolWindow* w : {filter_window_, guide_window_})
    connect(w, &ToolWindow::settingsChanged, this, &MainWindow::NotifySettingsChanged);
}

void MainWindow::LayoutStatusParts() {
  const int height = ui_->statusBar->height();
  int left = 0;
  for (size_t i = 0; i < bar_.size(); ++i) {
    const int right = i < 3 ? kBarEdges[i] : std::max(ui_->statusBar->width(), left);
    // A fixed size: a new text repaints the part alone, with no new layout of the status bar.
    bar_[i]->setFixedSize(right - left, height);
    bar_[i]->move(left, 0);
    left = right;
  }
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == ui_->statusBar && (event->type() == QEvent::Resize || event->type() == QEvent::Show))
    LayoutStatusParts();
  return QMainWindow::eventFilter(watched, event);
}

ToolWindow* MainWindow::channelWindow() const {
  return ToolWindows().channel_window_;
}

void MainWindow::ShowStatus(const StatusSnapshot& st) {
  ShowValue(ui_->elapsedValue, st.elapsed);
  ShowValue(ui_->transfersOkValue, st.transfers_ok);
  ShowValue(ui_->transfersFailedValue, st.transfers_failed);
  ShowValue(ui_->rateValue, st.rate);
  ShowValue(ui_->deviceStatusValue, st.device_status);
  ShowValue(ui_->bufferValue, st.buffer);
  ShowValue(ui_->packetSizeValue, st.packet_size);
  ShowValue(ui_->syncLossesValue, st.sync_losses);
  ShowValue(ui_->continuityValue, st.continuity);
  ShowValue(ui_->scrambledValue, st.scrambled);
  ShowValue(ui_->clockValue, st.clock);
  ShowValue(ui_->recordingValue, st.recording);
  ShowValue(ui_->freeSpaceValue, st.free_space);
  ShowValue(ui_->sendingValue, st.sending);
  // "HTTP 2 クライアント" while the HTTP server runs (with the connection, when the options say so).
  ShowValue(ui_->httpValue, st.http);
  ui_->httpValue->setVisible(!st.http.empty());
  // The last recording's totals, below a link to its report.
  QString last;
  if (!st.last_recording.empty()) {
    last = U8("前回の録画");
    const auto summary = context_.app.GetLastRecording();
    if (summary && !summary->report_path.empty()) {
      last += QStringLiteral("&nbsp;&nbsp;<a href=\"report\">%1</a>").arg(U8("レポート"));
    }
    last += QStringLiteral("<br><span style=\"white-space:pre\">%1</span>")
                .arg(FromSjis(st.last_recording).toHtmlEscaped());
  }
  if (ui_->lastRecordingValue->text() != last) ui_->lastRecordingValue->setText(last);
  ShowWatchLink();
  for (size_t i = 1; i < bar_.size(); ++i) ShowValue(bar_[i], st.bar[i]);
  // The next wake alarm, when one is set, in the reservation part's tool tip.
  const QString wake = context_.wake_alarm_text ? QString::fromStdString(context_.wake_alarm_text()) : QString();
  if (bar_[3]->toolTip() != wake) bar_[3]->setToolTip(wake);
  // A recording may have ended by its timer or the low-disk stop.
  UpdateControls();
}

void MainWindow::ShowWatchLink() {
  const std::string base = WatchBaseUrl(context_.app);
  QString text;
  QString tip;
  if (!base.empty()) {
    const QString playlist = QString::fromStdString(PlaylistUrl(base));
    text = QStringLiteral("<a href=\"%1\">%2</a>&nbsp;&nbsp;%1").arg(playlist.toHtmlEscaped(), U8("視聴"));
    for (size_t row = 0; row < context_.services.RowCount(); ++row) {
      const std::optional<uint16_t> id = context_.services.RowService(static_cast<uint16_t>(row));
      if (!id) continue;
      const auto service = context_.services.FindService(*id);
      if (!tip.isEmpty()) tip += QLatin1Char('\n');
      tip += (service && !service->name.empty() ? FromSjis(service->name) : QString::number(*id)) +
             QStringLiteral("  ") + QString::fromStdString(ServiceUrl(base, *id));
    }
  }
  if (ui_->watchValue->text() != text) ui_->watchValue->setText(text);
  if (ui_->watchValue->toolTip() != tip) ui_->watchValue->setToolTip(tip);
  ui_->watchValue->setVisible(!text.isEmpty());
}

void MainWindow::RefreshDeviceList() {
  core::CDTV_Base* device = context_.app.device();
  {
    const QSignalBlocker block(ui_->deviceCombo);
    ui_->deviceCombo->clear();
    // A device set that could not be opened at start is tried again.
    if (device != nullptr && !device->IsDeviceOpen()) device->OpenDevice();
    if (device != nullptr) {
      for (const DeviceEntry& e : ListDevices(*device)) ui_->deviceCombo->addItem(FromSjis(e.name), e.index);
    }
    if (ui_->deviceCombo->count() > 0) ui_->deviceCombo->setCurrentIndex(0);
  }
  context_.app.ToggleRecording(true);
  context_.app.ToggleSending(true);
  context_.services.ToggleFilter(true);
  context_.app.RefreshStatus();
  if (ui_->deviceCombo->count() > 0) {
    RefreshEndpointList();
  } else {
    ui_->inCombo->clear();
    ui_->outCombo->clear();
  }
  fx2_device_ = dynamic_cast<core::CDTV_EzUSBFX2*>(device) != nullptr;
  UpdateControls();
}

void MainWindow::RefreshEndpointList() {
  core::CDTV_Base* device = context_.app.device();
  if (device == nullptr || ui_->deviceCombo->currentIndex() < 0) return;
  const int index = ui_->deviceCombo->currentData().toInt();
  ui_->inCombo->clear();
  ui_->outCombo->clear();
  ui_->outCombo->addItem(FromSjis(status_text::kNone), static_cast<uint>(core::kNoEndpoint));
  const EndpointChoice c =
      ListBulkEndpoints(*device, index, context_.settings.last_ep_in, context_.settings.last_ep_out);
  for (uint8_t a : c.in) ui_->inCombo->addItem(QString::asprintf("0x%02X", a), static_cast<uint>(a));
  for (uint8_t a : c.out) ui_->outCombo->addItem(QString::asprintf("0x%02X", a), static_cast<uint>(a));
  if (c.has_in) ui_->inCombo->setCurrentIndex(ui_->inCombo->findData(static_cast<uint>(c.default_in)));
  ui_->outCombo->setCurrentIndex(std::max(0, ui_->outCombo->findData(static_cast<uint>(c.default_out))));
  UpdateControls();
}

void MainWindow::UpdateControls() {
  CaptureApp& app = context_.app;
  core::CDTV_Base* device = app.device();
  MainWindowState state;
  state.device_open = device != nullptr && device->IsDeviceOpen();
  state.has_devices = ui_->deviceCombo->count() > 0;
  state.has_in_endpoints = ui_->inCombo->count() > 0;
  state.fx2_device = fx2_device_;
  state.connected = app.IsConnected();
  state.recording = app.IsRecording();
  state.sending = app.IsSending();
  const MainWindowControls c = ComputeMainWindowControls(state);
  ui_->deviceCombo->setEnabled(c.device_list);
  ui_->rescanButton->setEnabled(c.rescan);
  ui_->inCombo->setEnabled(c.in_list);
  ui_->outCombo->setEnabled(c.out_list);
  ui_->initCheck->setEnabled(c.init_box);
  ui_->initCheck->setVisible(c.init_box_visible);
  ui_->descrambleCheck->setEnabled(c.descramble_box);
  ui_->connectButton->setEnabled(c.connect);
  ui_->connectButton->setChecked(state.connected);
  ui_->stopTimerEdit->setEnabled(c.stop_timer);
  ui_->recordButton->setEnabled(c.record);
  ui_->recordButton->setChecked(state.recording);
  ui_->recordButton->setText(
      FromSjis(state.recording ? status_text::kRecordStop : status_text::kRecordStart));
  ui_->addressEdit->setEnabled(c.network_edits);
  ui_->portEdit->setEnabled(c.network_edits);
  ui_->sendSizeEdit->setEnabled(c.network_edits);
  ui_->sendButton->setEnabled(c.send);
  ui_->sendButton->setChecked(state.sending);
  ui_->sendButton->setText(FromSjis(state.sending ? status_text::kSendStop : status_text::kSendStart));
}

void MainWindow::ToggleConnect() {
  CaptureApp& app = context_.app;
  ConnectRequest request;
  if (!app.IsConnected() && !TunerFreeOfRecorder()) {
    UpdateControls();
    return;
  }
  if (!app.IsConnected()) {
    if (ui_->deviceCombo->currentIndex() >= 0) request.device_index = ui_->deviceCombo->currentData().toInt();
    if (ui_->inCombo->currentIndex() >= 0) request.in_address = ui_->inCombo->currentData().toUInt();
    if (ui_->outCombo->currentIndex() >= 0) request.out_address = ui_->outCombo->currentData().toUInt();
    request.initialise = ui_->initCheck->isChecked();
    request.descramble = ui_->descrambleCheck->isChecked();
  }
  app.ToggleConnect(request);
  UpdateControls();
}

void MainWindow::ToggleRecording() {
  CaptureApp& app = context_.app;
  if (app.IsRecording()) {
    app.ToggleRecording(false);
  } else {
    const int minutes = Recording::ClampStopMinutes(UnsignedFieldOrZero(ui_->stopTimerEdit->text().toStdString()));
    ui_->stopTimerEdit->setText(QString::number(minutes));
    app.ToggleRecording(false, std::string(), minutes);
    // The last recording's totals go with the start of the next one.
    if (!app.GetLastRecording()) ui_->lastRecordingValue->clear();
  }
  UpdateControls();
}

void MainWindow::ToggleSending() {
  CaptureApp& app = context_.app;
  if (!app.IsSending()) {
    Settings& cs = app.settings();
    std::string address = ToSjis(ui_->addressEdit->text());
    if (address.size() > kSettingsTextMax) address.resize(kSettingsTextMax);
    cs.network_address = address;
    cs.network_port = static_cast<int>(UnsignedFieldOrZero(ui_->portEdit->text().toStdString()));
    cs.network_send_size = static_cast<int>(UnsignedFieldOrZero(ui_->sendSizeEdit->text().toStdString()));
  }
  app.ToggleSending(false);
  UpdateControls();
}

void MainWindow::ExtendStopTimer() {
  const int minutes = Recording::ClampStopMinutes(UnsignedFieldOrZero(ui_->stopTimerEdit->text().toStdString()));
  const int edit = context_.app.ExtendStopTimer(minutes);
  if (!context_.app.IsRecording()) ui_->stopTimerEdit->setText(QString::number(edit));
}

void MainWindow::OpenOptions() {
  CaptureApp& app = context_.app;
  if (app.IsConnected()) {
    context_.messages.Notify(desktop_text::kOptionsWhileConnected, status_text::kCaptionApp);
    return;
  }
  const Settings current = context_.settings;
  OptionsDialog dialog(current, context_.messages, this);
  dialog.setObjectName(QStringLiteral("optionsDialog"));
  if (dialog.exec() != QDialog::Accepted) return;
  context_.settings = dialog.settings();
  context_.schedule.ApplySettings(context_.settings);
  NotifySettingsChanged();
}

void MainWindow::NotifySettingsChanged() {
  // (Tool windows not made yet read the settings when they are.)
  for (ToolWindow* w : {filter_window_, guide_window_})
    if (w != nullptr) w->OnSettingsChanged();
}

void MainWindow::ToggleToolWindow(QWidget* window) {
  if (window != nullptr) window->setVisible(!window->isVisible());
}

void MainWindow::StorePlacements() {
  WindowLayout& s = context_.windows;
  Settings& cs = context_.app.settings();
  s.main.x = pos().x();
  s.main.y = pos().y();
  cs.sorvalink_init = ui_->initCheck->isChecked() ? 1 : 0;
  cs.arib_b25_proc = ui_->descrambleCheck->isChecked() ? 1 : 0;
  Store(channel_window_, &s.channel);
  cs.last_channel = context_.channels.last_channel();
  Store(filter_window_, &s.filter);
  Store(schedule_window_, &s.schedule);
  Store(guide_window_, &s.guide);
  Store(rule_window_, &s.rule);
  Store(recordings_window_, &s.library);
}

bool MainWindow::SaveSchedule() {
  if (!context_.schedule_loaded) return true;
  while (!context_.schedule.scheduler().SaveSchedule(context_.schedule_path)) {
    if (!context_.messages.Ask(desktop_text::kScheduleSaveFailed, status_text::kCaptionApp)) return false;
  }
  return true;
}

bool MainWindow::TunerFreeOfRecorder() {
  if (handoff_ == nullptr) return true;
  const std::string question = handoff_->ConnectQuestion();
  if (question.empty()) return true;
  if (!context_.messages.Ask(platform::Utf8ToSjis(question), status_text::kCaptionApp)) return false;
  std::string error;
  if (handoff_->StopForSession(&error)) return true;
  context_.messages.Notify(platform::Utf8ToSjis(error), status_text::kCaptionApp);
  return false;
}

bool MainWindow::HandOffReservations() {
  if (handoff_ == nullptr || !context_.schedule_loaded) return true;
  const RecorderHandoff::QuitPlan plan = handoff_->PlanQuit(context_.schedule.scheduler().Reservations().size());
  if (!plan.line.empty()) std::fprintf(stderr, "pelkan: %s\n", plan.line.c_str());
  if (plan.question.empty()) return true;
  QMessageBox box(QMessageBox::Question, FromSjis(status_text::kCaptionApp), QString::fromStdString(plan.question),
                  QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, this);
  box.setObjectName(QStringLiteral("handoffQuestion"));
  box.button(QMessageBox::Yes)->setText(U8("はい"));
  box.button(QMessageBox::No)->setText(U8("いいえ"));
  box.button(QMessageBox::Cancel)->setText(U8("キャンセル"));
  box.setDefaultButton(QMessageBox::Yes);
  box.setEscapeButton(QMessageBox::Cancel);
  box.setWindowModality(Qt::ApplicationModal);
  const int clicked = box.exec();
  const RecorderHandoff::Answer answer = clicked == QMessageBox::Yes  ? RecorderHandoff::Answer::kYes
                                         : clicked == QMessageBox::No ? RecorderHandoff::Answer::kNo
                                                                      : RecorderHandoff::Answer::kCancel;
  std::string error;
  if (handoff_->Answered(answer, &error)) return true;
  if (!error.empty()) context_.messages.Notify(platform::Utf8ToSjis(error), status_text::kCaptionApp);
  return false;
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (exited_) {
    event->accept();
    return;
  }
  if (context_.app.IsConnected()) {
    context_.messages.Notify(desktop_text::kExitWhileConnected, status_text::kCaptionApp);
    event->ignore();
    return;
  }
  if (!HandOffReservations()) {
    event->ignore();
    return;
  }
  StorePlacements();
  SaveSchedule();
  exited_ = true;
  for (QWidget* w : {static_cast<QWidget*>(channel_window_), static_cast<QWidget*>(filter_window_),
                     static_cast<QWidget*>(schedule_window_), static_cast<QWidget*>(guide_window_),
                     static_cast<QWidget*>(rule_window_), static_cast<QWidget*>(recordings_window_)}) {
    if (w != nullptr) w->hide();
  }
  event->accept();
  Q_EMIT exitAccepted();
}

}  // namespace pelkan::ui
