#include "ui/recordings_window.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QShowEvent>
#include <QStyle>
#include <QTableView>
#include <QStringList>
#include <algorithm>
#include <filesystem>
#include <map>

#include "app/watch_urls.h"
#include "core/status_text.h"
#include "core/user_messages.h"
#include "library/recording_removal.h"
#include "platform/text_codec.h"
#include "ui/message_box_messages.h"
#include "ui/qt_text.h"
#include "ui/recording_table_model.h"
#include "ui/report_opener.h"
#include "ui_recordings_window.h"

namespace pelkan::ui {
namespace {

constexpr int kFollowMs = 1000;
constexpr int kStatusEveryTicks = 30;  // the disk's status line: every half minute besides each reading
// What each column of 番組名 .. 保護 has room for at least, and the most (in wide characters) it
// grows to for its longest text: a longer one is cut short (its whole text in the tooltip or the
// report).
constexpr const char* kColumnSamples[RecordingRow::kColumns] = {
    "大河ドラマ「光る君へ」 第48回", "ペルカン総合", "2026-12-08 21:00", "10:00:00",
    "一部  ドロップ 0  エラー 0  スクランブル 0", "99.9 GB", "大河ドラマ", "🔒"};
constexpr int kColumnMostWide[RecordingRow::kColumns] = {30, 16, 0, 0, 0, 0, 16, 0};  // 0: no limit

bool StartDetached(const std::vector<std::string>& argv) {
  if (argv.empty()) return false;
  QStringList arguments;
  for (size_t i = 1; i < argv.size(); ++i) arguments << QString::fromStdString(argv[i]);
  return QProcess::startDetached(QString::fromStdString(argv[0]), arguments);
}

}  // namespace

RecordingsWindow::RecordingsWindow(RecordingsWindowSources sources, UserMessages* messages, QWidget* parent)
    : ToolWindow(parent),
      ui_(std::make_unique<Ui::RecordingsWindow>()),
      sources_(std::move(sources)),
      own_messages_(messages == nullptr ? std::make_unique<MessageBoxMessages>(this) : nullptr),
      messages_(messages != nullptr ? messages : own_messages_.get()),
      model_(new RecordingTableModel(this)),
      rule_names_(sources_.rules_path),
      launcher_(StartDetached) {
  ui_->setupUi(this);
  setObjectName(QStringLiteral("recordingsWindow"));
  ui_->recordingsList->setModel(model_);
  FitColumns();
  ui_->recordingsList->verticalHeader()->setDefaultSectionSize(ui_->recordingsList->fontMetrics().height() + 6);
  ui_->recordingsList->horizontalHeader()->setHighlightSections(false);

  QComboBox* facets[] = {ui_->ruleFacetCombo, ui_->serviceFacetCombo, ui_->seriesFacetCombo,
                         ui_->resultFacetCombo, ui_->monthFacetCombo};
  for (QComboBox* combo : facets) {
    combo->addItem(U8("すべて"), QString());
    connect(combo, &QComboBox::currentIndexChanged, this, [this] {
      if (!filling_facets_) Reload();
    });
  }
  connect(ui_->searchEdit, &QLineEdit::textChanged, this, &RecordingsWindow::Reload);
  connect(ui_->playButton, &QPushButton::clicked, this, &RecordingsWindow::play);
  connect(ui_->recordingsList, &QAbstractItemView::doubleClicked, this, &RecordingsWindow::play);
  connect(ui_->chaseButton, &QPushButton::clicked, this, &RecordingsWindow::chase);
  connect(ui_->reportButton, &QPushButton::clicked, this, &RecordingsWindow::openReport);
  connect(ui_->folderButton, &QPushButton::clicked, this, &RecordingsWindow::openFolder);
  connect(ui_->protectButton, &QPushButton::clicked, this, &RecordingsWindow::toggleProtect);
  connect(ui_->deleteButton, &QPushButton::clicked, this, &RecordingsWindow::deleteSelected);
  connect(ui_->forgetButton, &QPushButton::clicked, this, &RecordingsWindow::forgetSelected);
  connect(ui_->recordingsList->selectionModel(), &QItemSelectionModel::selectionChanged, this,
          &RecordingsWindow::updateButtons);
  connect(model_, &QAbstractItemModel::modelReset, this, &RecordingsWindow::updateButtons);
  follow_.setInterval(kFollowMs);
  connect(&follow_, &QTimer::timeout, this, &RecordingsWindow::followCatalogue);
  updateButtons();
}

RecordingsWindow::~RecordingsWindow() = default;

int RecordingsWindow::RowCount() const {
  return model_->rowCount();
}

RecordingLibrary* RecordingsWindow::Library() {
  if (!library_) {
    std::string notice, error;
    library_ = RecordingLibrary::Open(sources_.library_path, &notice, &error);
    if (!notice.empty()) messages_->Notify(notice, status_text::kCaptionApp);
    if (!library_) Notice("録画の一覧を開けません: " + error);
  }
  return library_.get();
}

std::string RecordingsWindow::RuleName(uint32_t id) {
  return rule_names_.Name(id);
}

void RecordingsWindow::showEvent(QShowEvent* event) {
  ToolWindow::showEvent(event);
  Reload();
  follow_.start();
}

void RecordingsWindow::hideEvent(QHideEvent* event) {
  follow_.stop();
  ToolWindow::hideEvent(event);
}

void RecordingsWindow::followCatalogue() {
  if (++status_ticks_ >= kStatusEveryTicks && sources_.disk_status && library_) {
    status_ticks_ = 0;
    ui_->diskStatusValue->setText(QString::fromStdString(sources_.disk_status(*library_)));
  }
  if (CatalogueStampOf(sources_.library_path) != read_at_) Reload();
}

void RecordingsWindow::FillFacets() {
  static constexpr LibraryFacetKind kKinds[] = {LibraryFacetKind::kRule, LibraryFacetKind::kService,
                                                LibraryFacetKind::kSeries, LibraryFacetKind::kResult,
                                                LibraryFacetKind::kMonth};
  QComboBox* facets[] = {ui_->ruleFacetCombo, ui_->serviceFacetCombo, ui_->seriesFacetCombo,
                         ui_->resultFacetCombo, ui_->monthFacetCombo};
  const auto name = [this](uint32_t id) { return RuleName(id); };
  filling_facets_ = true;
  for (size_t i = 0; i < std::size(kKinds); ++i) {
    QComboBox* combo = facets[i];
    const QString chosen = combo->currentData().toString();
    while (combo->count() > 1) combo->removeItem(1);
    for (const LibraryFacet& f : library_->Facets(kKinds[i]))
      combo->addItem(QString::fromStdString(LibraryFacetText(kKinds[i], f, name)), QString::fromStdString(f.key));
    const int at = combo->findData(chosen);
    combo->setCurrentIndex(std::max(at, 0));
  }
  filling_facets_ = false;
}

void RecordingsWindow::Reload() {
  if (Library() == nullptr) return;
  read_at_ = CatalogueStampOf(sources_.library_path);
  FillFacets();
  LibraryQuery query;
  query.words = ui_->searchEdit->text().toStdString();
  const std::pair<LibraryFacetKind, QComboBox*> facets[] = {{LibraryFacetKind::kRule, ui_->ruleFacetCombo},
                                                            {LibraryFacetKind::kService, ui_->serviceFacetCombo},
                                                            {LibraryFacetKind::kSeries, ui_->seriesFacetCombo},
                                                            {LibraryFacetKind::kResult, ui_->resultFacetCombo},
                                                            {LibraryFacetKind::kMonth, ui_->monthFacetCombo}};
  for (const auto& [kind, combo] : facets) NarrowByFacet(kind, combo->currentData().toString().toStdString(), &query);
  std::vector<int64_t> selected;
  for (const LibraryEntry& e : Selected()) selected.push_back(e.id);
  std::map<uint32_t, std::string> names;
  model_->SetEntries(library_->List(query), [this, &names](uint32_t id) {
    auto it = names.find(id);
    if (it == names.end()) it = names.emplace(id, RuleName(id)).first;
    return it->second;
  });
  FitColumns();
  QItemSelectionModel* selection = ui_->recordingsList->selectionModel();
  if (!selected.empty()) {
    std::map<int64_t, int> rows;
    for (int row = 0; row < model_->rowCount(); ++row) rows[model_->Entry(row).id] = row;
    QItemSelection again;
    for (const int64_t id : selected) {
      const auto it = rows.find(id);
      if (it != rows.end()) again.select(model_->index(it->second, 0), model_->index(it->second, 0));
    }
    selection->select(again, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    const auto first = rows.find(selected[0]);
    if (first != rows.end()) selection->setCurrentIndex(model_->index(first->second, 0), QItemSelectionModel::NoUpdate);
  }
  status_ticks_ = 0;
  if (sources_.disk_status) ui_->diskStatusValue->setText(QString::fromStdString(sources_.disk_status(*library_)));
  updateButtons();
}

void RecordingsWindow::FitColumns() {
  QTableView* list = ui_->recordingsList;
  const QFontMetrics cell = list->fontMetrics();
  const QFontMetrics head = list->horizontalHeader()->fontMetrics();
  // A cell's text has the focus frame's margin on either side; a little more keeps it clear of
  // the grid and of a badge's edge.
  const int pad = 2 * (list->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list) + 1) +
                  cell.averageCharWidth();
  const int wide = cell.horizontalAdvance(U8("あ"));
  bool grew = false;
  for (int c = 0; c < RecordingRow::kColumns; ++c) {
    const QString header = model_->headerData(c, Qt::Horizontal).toString();
    int width = std::max(head.horizontalAdvance(header) + 2 * pad, cell.horizontalAdvance(U8(kColumnSamples[c])) + pad);
    int contents = cell.horizontalAdvance(model_->WidestText(c)) + pad;
    if (kColumnMostWide[c] != 0) contents = std::min(contents, kColumnMostWide[c] * wide + pad);
    width = std::max(width, contents);
    // Once set, only wider: a column the user widened keeps its width, and a narrower search
    // does not make the columns jump.
    if (!columns_fitted_ || width > list->columnWidth(c)) {
      list->setColumnWidth(c, width);
      grew = true;
    }
  }
  columns_fitted_ = true;
  if (grew) WidenToShowColumns(list);
}

std::vector<LibraryEntry> RecordingsWindow::Selected() const {
  std::vector<LibraryEntry> entries;
  const int current = ui_->recordingsList->currentIndex().row();
  for (const QModelIndex& index : ui_->recordingsList->selectionModel()->selectedRows()) {
    if (index.row() == current) {
      entries.insert(entries.begin(), model_->Entry(index.row()));
    } else {
      entries.push_back(model_->Entry(index.row()));
    }
  }
  return entries;
}

void RecordingsWindow::updateButtons() {
  const std::vector<LibraryEntry> chosen = Selected();
  const bool one = !chosen.empty();
  const bool all_protected = one && std::all_of(chosen.begin(), chosen.end(),
                                                [](const LibraryEntry& e) { return e.is_protected; });
  ui_->playButton->setEnabled(one);
  ui_->chaseButton->setEnabled(chosen.size() == 1 && chosen[0].recording);
  ui_->reportButton->setEnabled(one && !chosen[0].report.empty());
  ui_->folderButton->setEnabled(one);
  ui_->protectButton->setEnabled(one);
  ui_->protectButton->setText(all_protected ? U8("保護解除") : U8("保護"));
  ui_->deleteButton->setEnabled(one);
  ui_->forgetButton->setEnabled(one);
}

void RecordingsWindow::Notice(const std::string& text) {
  ui_->noticeValue->setText(QString::fromStdString(text));
}

void RecordingsWindow::Launch(const std::vector<std::string>& argv) {
  if (argv.empty()) return;
  if (!launcher_(argv)) Notice("起動できません: " + argv[0]);
}

void RecordingsWindow::play() {
  const std::vector<LibraryEntry> chosen = Selected();
  if (chosen.empty()) return;
  const LibraryEntry& e = chosen[0];
  std::error_code ec;
  if (!std::filesystem::exists(e.file, ec)) {
    Notice("録画のファイルが見つかりません: " + e.file);
    return;
  }
  StartPlayer({e.file, "", e.watched});
}

void RecordingsWindow::chase() {
  const std::vector<LibraryEntry> chosen = Selected();
  if (chosen.size() != 1 || !chosen[0].recording) return;
  const std::string base = sources_.http_base ? sources_.http_base() : std::string();
  if (base.empty()) {
    Notice("追っかけ再生にはHTTP配信が必要です (オプションの「接続時にHTTP配信を開始する」)");
    return;
  }
  StartPlayer({chosen[0].file,
               RecordingUrl(base, chosen[0].id, sources_.view_token ? sources_.view_token() : std::string()), 0});
}

void RecordingsWindow::StartPlayer(const PlayTarget& target) {
  std::string error;
  const std::vector<std::string> argv =
      PlayerArgv(sources_.player_command ? sources_.player_command() : std::string(), target, &error);
  if (argv.empty()) {
    Notice("プレーヤーのコマンドが不正です: " + error);
    return;
  }
  Notice("");
  Launch(argv);
}

void RecordingsWindow::openReport() {
  const std::vector<LibraryEntry> chosen = Selected();
  if (!chosen.empty() && !chosen[0].report.empty()) OpenReport(chosen[0].report);
}

void RecordingsWindow::openFolder() {
  const std::vector<LibraryEntry> chosen = Selected();
  if (chosen.empty()) return;
  Launch({"xdg-open", std::filesystem::path(chosen[0].file).parent_path().string()});
}

void RecordingsWindow::toggleProtect() {
  const std::vector<LibraryEntry> chosen = Selected();
  if (chosen.empty() || Library() == nullptr) return;
  const bool on = !std::all_of(chosen.begin(), chosen.end(), [](const LibraryEntry& e) { return e.is_protected; });
  for (const LibraryEntry& e : chosen) library_->SetProtected(e.id, on);
  Reload();
}

std::vector<LibraryEntry> RecordingsWindow::Removable(RemovalKind kind) {
  std::vector<LibraryEntry> chosen = Selected();
  if (chosen.empty() || Library() == nullptr) return {};
  const std::string refusal = RemovalRefusal(chosen, kind);
  if (refusal.empty()) return chosen;
  messages_->Notify(platform::Utf8ToSjis(refusal), status_text::kCaptionApp);
  return {};
}

void RecordingsWindow::deleteSelected() {
  const std::vector<LibraryEntry> chosen = Removable(RemovalKind::kTrash);
  if (chosen.empty()) return;
  if (!messages_->Ask(platform::Utf8ToSjis(TrashQuestion(chosen)), status_text::kCaptionApp)) return;
  std::string failures;
  for (const LibraryEntry& e : chosen) {
    std::string error;
    // The question named the protected ones: the answer was about them too.
    if (!RemoveRecording(*library_, e, RemovalKind::kTrash, e.is_protected, &error))
      failures += "\n" + e.title + ": " + error;
  }
  Reload();
  if (!failures.empty())
    messages_->Notify(platform::Utf8ToSjis("ごみ箱に移せなかった録画があります:" + failures), status_text::kCaptionApp);
}

void RecordingsWindow::forgetSelected() {
  const std::vector<LibraryEntry> chosen = Removable(RemovalKind::kForget);
  for (const LibraryEntry& e : chosen) {
    std::string error;
    if (!RemoveRecording(*library_, e, RemovalKind::kForget, true, &error)) Notice(e.title + ": " + error);
  }
  Reload();
}

}  // namespace pelkan::ui
