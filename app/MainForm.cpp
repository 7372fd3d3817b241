#include "app/MainForm.h"

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>
#include <utility>

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QEventLoop>
#include <QFileInfo>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QTextDocument>
#include <QTimer>

#include "app/Dialogs.h"
#include "runtime/Exceptions.h"
#include "runtime/ScopeExit.h"
#include "runtime/StrToInt.h"
#include "settings/KWSettingsStorage.h"

// Resources of a static library are registered by hand, outside any namespace, once.
static void InitResources() {
  static const bool done = [] {
    Q_INIT_RESOURCE(mosaicer);
    return true;
  }();
  (void)done;
}

namespace mosaicer {

namespace {

QString gTitle;

// Paths, prefixes and HTML are 8-bit texts below the window, in the system's encoding.
std::string ToStd(const QString& text) { return text.toLocal8Bit().toStdString(); }
QString FromStd(const std::string& text) { return QString::fromLocal8Bit(text); }

// Qt reads a hint that looks like markup ("<IMG>") as rich text; hints are plain text.
QString PlainHint(const QString& hint) { return Qt::mightBeRichText(hint) ? Qt::convertFromPlainText(hint) : hint; }

// The chunk count as typed; characters outside Latin-1 become "?", which the conversion refuses.
bool ChunkCountOf(const QString& text, std::int32_t& value) {
  const QByteArray bytes = text.toLatin1();
  return StrToIntStrict(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())), value);
}

// The folder part of a chosen path; a file in the root keeps the root's separator.
QString FolderOf(const QString& path) {
  const qsizetype slash = path.lastIndexOf('/');
  return slash < 0 ? QString() : path.left(slash == 0 ? 1 : slash);
}

// A banner picture, in its 2x version on a high-density screen.
QPixmap BannerPixmap(const QString& name, qreal ratio) {
  if (ratio > 1) {
    QPixmap sharp(":/" + name + "@2x.png");
    if (!sharp.isNull()) {
      sharp.setDevicePixelRatio(2);
      return sharp;
    }
  }
  return QPixmap(":/" + name + ".png");
}

// Thrown from the save's progress report to stop it after the fragment just written.
struct TSaveCancelled {};

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, int left, int top) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(name);
  label->move(left, top);
  label->adjustSize();  // labels size themselves to their text
  return label;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, const QRect& geometry, const QString& hint) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(name);
  edit->setGeometry(geometry);
  edit->setToolTip(PlainHint(hint));
  return edit;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& text, int left, int top, const QString& hint) {
  auto* button = new QPushButton(text, parent);
  button->setObjectName(name);
  button->setGeometry(left, top, 73, 21);
  button->setToolTip(PlainHint(hint));
  return button;
}

QFrame* MakePanel(QWidget* parent, const char* name, const QRect& geometry) {
  auto* panel = new QFrame(parent);
  panel->setObjectName(name);
  panel->setGeometry(geometry);
  panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
  panel->setLineWidth(1);
  return panel;
}

}  // namespace

void InitAppResources() { ::InitResources(); }

QPoint PlaceOnScreen(const QRect& designedFrame, const QRect& available) {
  if (available.contains(designedFrame)) return designedFrame.topLeft();
  const int left = available.left() + std::max(0, (available.width() - designedFrame.width()) / 2);
  const int top = available.top() + std::max(0, (available.height() - designedFrame.height()) / 2);
  return {left, top};
}

QString TApplication::Title() { return gTitle; }
// The taskbar shows the window's caption here; the title is what error boxes carry.
void TApplication::SetTitle(const QString& title) { gTitle = title; }

TImageControl::TImageControl(QWidget* parent) : QWidget(parent) {}

TBitmap32& TImageControl::Picture() {
  if (FPicture.Empty()) {
    // At a ratio above 1 the box has the screen's own resolution; at 1 it is the control's size.
    const qreal ratio = devicePixelRatioF();
    FPicture.SetSize(static_cast<std::int32_t>(std::lround(width() * ratio)),
                     static_cast<std::int32_t>(std::lround(height() * ratio)));
    FPicture.Fill(Color32(255, 255, 255));
  }
  return FPicture;
}

void TImageControl::paintEvent(QPaintEvent*) {
  if (FPicture.Empty()) return;
  // TColor32 is laid out as Qt's 0xAARRGGBB.
  QImage image(reinterpret_cast<const uchar*>(FPicture.Bits()), FPicture.Width(), FPicture.Height(),
               FPicture.Width() * 4, QImage::Format_RGB32);
  const qreal ratio = FPicture.Width() == width() ? 1.0 : static_cast<qreal>(FPicture.Width()) / width();
  image.setDevicePixelRatio(ratio);
  const QSizeF shown = image.deviceIndependentSize();
  QPainter painter(this);
  painter.drawImage(QPointF((width() - shown.width()) / 2, (height() - shown.height()) / 2), image);
}

TfrmMain::TfrmMain(TDialogs& dialogs, const QString& startPicture, QWidget* parent)
    : QDialog(parent), FDialogs(dialogs), FStartPicture(startPicture) {
  CreateControls();
  Guarded([this] { FormCreate(); });
}

TfrmMain::~TfrmMain() { Guarded([this] { FormDestroy(); }); }

void TfrmMain::CreateControls() {
  InitResources();
  setObjectName("frmMain");
  setWindowTitle("Mosaicer");
  // A normal top-level window, so that taskbars list it, with a dialog's fixed frame: no
  // minimise or maximise box.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                 Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(531, 320);
  const QRect designed(QPoint(221, 177), size());
  QScreen* screen = QGuiApplication::screenAt(designed.topLeft());
  if (!screen) screen = QGuiApplication::primaryScreen();
  move(screen ? PlaceOnScreen(designed, screen->availableGeometry()) : designed.topLeft());
  setAcceptDrops(true);
  setSizeGripEnabled(false);
  setStyleSheet(
      "QLineEdit[flat=\"true\"], QPlainTextEdit { border: 1px solid palette(mid); background: palette(base); }");

  pTop = new QFrame(this);
  pTop->setObjectName("pTop");
  pTop->setGeometry(0, 0, 531, 57);
  pTop->setAutoFillBackground(true);
  QPalette white = pTop->palette();
  white.setColor(QPalette::Window, Qt::white);
  pTop->setPalette(white);
  Image1 = new QLabel(pTop);
  Image1->setObjectName("Image1");
  Image1->setGeometry(0, 0, 161, 57);
  Image1->setAlignment(Qt::AlignCenter);
  Image1->setPixmap(BannerPixmap("banner-left", devicePixelRatioF()));
  Image2 = new QLabel(pTop);
  Image2->setObjectName("Image2");
  Image2->setGeometry(416, 0, 113, 56);
  Image2->setAlignment(Qt::AlignCenter);
  Image2->setPixmap(BannerPixmap("banner-right", devicePixelRatioF()));

  pImageBg = MakePanel(this, "pImageBg", {0, 57, 209, 263});
  pImage = new QLabel("No image loaded", pImageBg);
  pImage->setObjectName("pImage");
  pImage->setGeometry(8, 8, 193, 193);
  pImage->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  pImage->setAlignment(Qt::AlignCenter);
  imgImage = new TImageControl(pImage);
  imgImage->setObjectName("imgImage");
  imgImage->setGeometry(1, 1, 191, 191);
  imgImage->setToolTip(PlainHint("Image fragmentation is displayed here"));
  lblFilename = MakeLabel(pImageBg, "lblFilename", "Filename:", 8, 208);
  editFilename = MakeEdit(pImageBg, "editFilename", {64, 208, 137, 16}, QString());
  editFilename->setReadOnly(true);
  editFilename->setFrame(false);
  editFilename->setStyleSheet("background: palette(window);");
  lblDimensions = MakeLabel(pImageBg, "lblDimensions", "Dimensions:", 8, 224);
  lblDimensionsValue = MakeLabel(pImageBg, "lblDimensionsValue", QString(), 72, 224);
  lblSize = MakeLabel(pImageBg, "lblSize", "Size:", 8, 240);
  lblSizeValue = MakeLabel(pImageBg, "lblSizeValue", QString(), 40, 240);

  pSettings = MakePanel(this, "pSettings", {209, 57, 322, 263});
  pGeneralSettings = new QLabel("Settings", pSettings);
  pGeneralSettings->setObjectName("pGeneralSettings");
  pGeneralSettings->setGeometry(8, 8, 305, 17);
  pGeneralSettings->setAlignment(Qt::AlignCenter);
  pGeneralSettings->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  pGeneralSettings->setAutoFillBackground(true);
  pGeneralSettings->setBackgroundRole(QPalette::ToolTipBase);
  pGeneralSettings->setForegroundRole(QPalette::ToolTipText);
  Label1 = MakeLabel(pSettings, "Label1", "Number of chunks:", 8, 32);
  editChunkCount = MakeEdit(pSettings, "editChunkCount", {8, 48, 57, 19}, "Please type the desired number of chunks here");
  editChunkCount->setText("16");
  Label2 = MakeLabel(pSettings, "Label2", "Image fragments path prefix (to be put to HTML):", 8, 72);
  editImagePathPrefix = MakeEdit(pSettings, "editImagePathPrefix", {8, 88, 305, 19},
                                 "The prefix is prepended to all generated image fragment links in <IMG> tags");
  editImagePathPrefix->setText("images/");
  Label4 = MakeLabel(pSettings, "Label4", "Folder where to put image fragments:", 8, 112);
  editImagePath = MakeEdit(pSettings, "editImagePath", {8, 128, 225, 19}, "The destination folder to put image fragments to");
  for (QLineEdit* edit : {editChunkCount, editImagePathPrefix, editImagePath}) edit->setProperty("flat", true);
  btnBrowse = MakeButton(pSettings, "btnBrowse", "Browse...", 240, 128, "Select the destination folder");
  Label3 = MakeLabel(pSettings, "Label3", "HTML code:", 8, 152);
  memoHTML = new QPlainTextEdit(pSettings);
  memoHTML->setObjectName("memoHTML");
  memoHTML->setGeometry(8, 168, 305, 49);
  memoHTML->setToolTip(PlainHint("The generated HTML code. Use this code instead of a single <IMG> tag."));
  memoHTML->setReadOnly(true);
  memoHTML->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  memoHTML->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memoHTML->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  memoHTML->setTabChangesFocus(true);
  memoHTML->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  Bevel1 = new QFrame(pSettings);
  Bevel1->setObjectName("Bevel1");
  Bevel1->setGeometry(8, 224, 305, 2);  // the etched line along the top of its 9-pixel box
  Bevel1->setFrameStyle(QFrame::HLine | QFrame::Sunken);
  btnPreview = MakeButton(pSettings, "btnPreview", "Crumb!", 8, 232, "Divide the image into chunks");
  btnSave = MakeButton(pSettings, "btnSave", "Save", 160, 232, "Save the crumb'ed image chunks");
  btnExit = MakeButton(pSettings, "btnExit", "Exit", 240, 232, "Exit the application");
  btnSave->setDefault(true);

  // Panels first (picture column, settings, banner), then within each the designed order.
  for (QWidget* w : {static_cast<QWidget*>(pTop), static_cast<QWidget*>(pImage), static_cast<QWidget*>(pGeneralSettings)})
    w->setFocusPolicy(Qt::NoFocus);
  QWidget* order[] = {editFilename, editChunkCount, editImagePathPrefix, btnPreview, btnSave,
                      btnExit,      memoHTML,       editImagePath,       btnBrowse};
  for (std::size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);

  Timer = new QTimer(this);
  Timer->setObjectName("Timer");
  Timer->setInterval(500);
  ActivationTimer = new QTimer(this);
  ActivationTimer->setObjectName("ActivationTimer");
  ActivationTimer->setInterval(300);

  connect(btnPreview, &QPushButton::clicked, this, [this] { Guarded([this] { btnPreviewClick(); }); });
  connect(btnSave, &QPushButton::clicked, this, [this] { Guarded([this] { btnSaveClick(); }); });
  connect(btnBrowse, &QPushButton::clicked, this, [this] { Guarded([this] { btnBrowseClick(); }); });
  connect(btnExit, &QPushButton::clicked, this, [this] { Guarded([this] { btnExitClick(); }); });
  connect(Timer, &QTimer::timeout, this, [this] { Guarded([this] { TimerTimer(); }); });
  connect(ActivationTimer, &QTimer::timeout, this, [this] { Guarded([this] { ActivationTimerTimer(); }); });
  auto* openAnother = new QShortcut(QKeySequence::Open, this);
  openAnother->setObjectName("OpenShortcut");
  connect(openAnother, &QShortcut::activated, this, [this] { Guarded([this] { OpenAnotherClick(); }); });
  editFilename->setFocus();
}

template <typename F>
void TfrmMain::Guarded(F&& work) {
  try {
    work();
  } catch (const std::exception& e) {
    ShowException(e);
  }
}

void TfrmMain::ShowException(const std::exception& e) {
  const auto* own = dynamic_cast<const Exception*>(&e);
  FDialogs.ShowMessage(this, TMessageKind::Error, TApplication::Title(), FromStd(MessageForDisplay(e.what())),
                       own ? FromStd(own->Detail()) : QString());
}

void TfrmMain::ShowError(const QString& text) {
  FDialogs.ShowMessage(this, TMessageKind::Error, "Error", text, QString());
}

void TfrmMain::FormCreate() {
  SeedRandomFromClock();
  FImage = std::make_unique<TMCImage>();
  LoadSettings();
  FStarting = true;
  FActivateAfterStart = false;
  OpenImage();
  FStarting = false;
  if (FActivateAfterStart) ActivationTimer->start();
}

void TfrmMain::FormDestroy() {
  SaveSettings();
  FImage.reset();
}

void TfrmMain::LoadSettings() {
  TKWRegistrySettingsStorage store;
  store.SetKeyPath(kKeyPath);
  store.OpenForRead();
  const TScopeExit closer([&store] { store.CloseRead(); });
  editImagePath->setText(FromStd(store.ReadString("LastDestFolder", "")));
  editImagePathPrefix->setText(FromStd(store.ReadString("LastPrefix", "")));
  editChunkCount->setText(QString::number(store.ReadInteger("LastNumOfChunks", 16)));
  FLastOpenFolder = FromStd(store.ReadString("LastOpenFolder", ""));
}

void TfrmMain::SaveSettings() {
  TKWRegistrySettingsStorage store;
  store.SetKeyPath(kKeyPath);
  store.OpenForWrite();
  const TScopeExit closer([&store] { store.CloseWrite(); });
  store.WriteString("LastDestFolder", ToStd(editImagePath->text()));
  store.WriteString("LastPrefix", ToStd(editImagePathPrefix->text()));
  std::int32_t chunks = 16;
  if (!ChunkCountOf(editChunkCount->text(), chunks)) chunks = 16;
  store.WriteInteger("LastNumOfChunks", chunks);
  store.WriteString("LastOpenFolder", ToStd(FLastOpenFolder));
}

void TfrmMain::OpenImage() {
  const std::optional<QString> path =
      FStarting && !FStartPicture.isEmpty() ? FStartPicture : FDialogs.OpenFile(this, kOpenFilter, FLastOpenFolder);
  if (path) {
    OpenPicture(*path);
    if (FStarting) FActivateAfterStart = true;
  } else if (FStarting) {
    Timer->start();
  }
}

void TfrmMain::OpenPicture(const QString& path) {
  FLastOpenFolder = FolderOf(path);
  // A load that fails (or, LoadFromFile's way, empties the bitmap) must not touch the picture
  // on show: the new one is loaded into a document of its own and swapped in on success.
  auto image = std::make_unique<TMCImage>();
  image->EncodeThreads = FImage->EncodeThreads;
  image->LoadFromFile(ToStd(path));
  if (!FStarting) {
    // Nor may a picture that cannot be previewed replace one that can.
    TBitmap32 probe;
    probe.SetSize(imgImage->Picture().Width(), imgImage->Picture().Height());
    image->DrawPreview(probe.Canvas(), probe.Width(), probe.Height(), true);
  }
  FImage = std::move(image);
  imgImage->ClearPicture();
  memoHTML->clear();
  UpdateImageInfo();
}

void TfrmMain::DrawImagePreview() {
  TBitmap32& picture = imgImage->Picture();
  FImage->DrawPreview(picture.Canvas(), picture.Width(), picture.Height(), true);
  imgImage->update();
}

void TfrmMain::UpdateImageInfo() {
  DrawImagePreview();
  editFilename->setText(FromStd(FImage->FileName));
  editFilename->setCursorPosition(0);
  lblDimensionsValue->setText(QString::number(FImage->ImageWidth) + "x" + QString::number(FImage->ImageHeight) + " pixels");
  lblDimensionsValue->adjustSize();
  lblSizeValue->setText(QString::number(FImage->FileSize) + " bytes");
  lblSizeValue->adjustSize();
  // The design's places assume its own font; where this machine's font runs wider, a value
  // moves right rather than over its caption.
  for (auto [caption, value] : {std::pair{lblDimensions, lblDimensionsValue}, std::pair{lblSize, lblSizeValue}})
    if (value->x() < caption->geometry().right() + 4) value->move(caption->geometry().right() + 4, value->y());
  const QString title = QFileInfo(FromStd(FImage->FileName)).fileName() + " - " + TApplication::kBaseTitle;
  setWindowTitle(title);
  TApplication::SetTitle(title);
}

bool TfrmMain::PictureLoaded() {
  if (FImage->ImageWidth > 0 && FImage->ImageHeight > 0) return true;
  ShowError("No picture is loaded. Start the program again and choose a JPEG picture.");
  return false;
}

void TfrmMain::btnPreviewClick() {
  std::int32_t count = 0;
  if (!ChunkCountOf(editChunkCount->text(), count)) {
    ShowError("Incorrect number of chunks value");
    return;
  }
  if (count < 4 || count > 1024) {
    ShowError("Number of chunks must be greater than 3 and smaller than 1025");
    editChunkCount->setText(count < 4 ? "4" : "1024");
    return;
  }
  if (!PictureLoaded()) return;
  FImage->MakeBreakup(count);
  DrawImagePreview();
}

void TfrmMain::btnSaveClick() {
  if (FSaving || !PictureLoaded()) return;
  // An empty division would save no file and an HTML without the picture.
  if (FImage->Breakup.RowCount() == 0) {
    ShowError("There is no division to save yet: press \"Crumb!\" first.");
    return;
  }
  memoHTML->clear();
  std::string html;
  std::int32_t written = 0, total = 0;
  if (!SaveWithProgress(ToStd(editImagePathPrefix->text()), ToStd(editImagePath->text()), html, written, total)) {
    FDialogs.ShowMessage(this, TMessageKind::Information, "Information",
                         QString("Saving was cancelled after %1 of %2 fragments.").arg(written).arg(total), QString());
    return;
  }
  memoHTML->setPlainText(FromStd(html));
  FDialogs.ShowMessage(this, TMessageKind::Information, "Information", "The fragments were successfully saved.",
                       QString());
}

bool TfrmMain::SaveWithProgress(const std::string& prefix, const std::string& folder, std::string& html,
                                std::int32_t& written, std::int32_t& total) {
  QProgressDialog dialog(this);
  dialog.setObjectName("SaveProgress");
  dialog.setWindowTitle(TApplication::Title());
  dialog.setWindowModality(Qt::ApplicationModal);
  dialog.setAutoClose(false);
  dialog.setAutoReset(false);
  // Shown by the timer below, not by the dialog's own guess of the remaining time.
  dialog.setMinimumDuration(std::numeric_limits<int>::max());
  dialog.setLabelText("Writing fragments: 0 of 0");

  // Each of these ends one run of the local event loop; the loop below looks at them after it.
  std::atomic<bool> finished{false};
  bool cancelled = false, due = false, woken = false;
  std::atomic<bool> stop{false};
  std::atomic<std::int32_t> done{0}, count{0};
  std::exception_ptr failure;
  QEventLoop loop;
  QTimer showTimer;
  showTimer.setSingleShot(true);
  QObject::connect(&showTimer, &QTimer::timeout, &loop, [&] {
    due = woken = true;
    loop.quit();
  });
  const auto cancel = [&] {
    stop = cancelled = woken = true;
    loop.quit();
  };
  // The Cancel button and the close box say canceled; Esc only rejects the dialog.
  QObject::connect(&dialog, &QProgressDialog::canceled, &loop, cancel);
  QObject::connect(&dialog, &QDialog::rejected, &loop, cancel);

  FSaving = true;
  const TScopeExit notSaving([this] { FSaving = false; });
  std::thread worker([&] {
    try {
      FImage->SaveFragments(prefix, folder, html, [&](std::int32_t k, std::int32_t n) {
        done = k;
        count = n;
        QMetaObject::invokeMethod(
            &dialog,
            [&dialog, k, n] {
              dialog.setMaximum(n);
              dialog.setValue(k);
              dialog.setLabelText(QString("Writing fragments: %1 of %2").arg(k).arg(n));
            },
            Qt::QueuedConnection);
        // A cancel that comes with the last fragment written is too late: the save is whole.
        if (stop && k < n) throw TSaveCancelled{};
      });
    } catch (const TSaveCancelled&) {
    } catch (...) {
      failure = std::current_exception();
    }
    finished = true;
    QMetaObject::invokeMethod(&loop, [&loop, &woken] { woken = true; loop.quit(); }, Qt::QueuedConnection);
  });
  const TScopeExit joined([&worker] {
    if (worker.joinable()) worker.join();
  });

  showTimer.start(kProgressDelayMs);
  while (!finished) {
    // Until the dialog shows (and again after Cancel hid it) input to the window waits, as it
    // did while the save ran on this thread; painting and timers go on. While the dialog shows,
    // its modality keeps input from the window.
    woken = false;
    loop.exec(dialog.isVisible() ? QEventLoop::AllEvents : QEventLoop::ExcludeUserInputEvents);
    if (!woken) break;  // the application is quitting: wait for the save below
    if (due && !cancelled && !finished && !dialog.isVisible()) dialog.show();
  }
  worker.join();
  if (failure) std::rethrow_exception(failure);
  written = done;
  total = count;
  return written == total;
}

void TfrmMain::btnBrowseClick() {
  if (const std::optional<QString> folder = FDialogs.SelectFolder(this)) editImagePath->setText(*folder);
}

void TfrmMain::btnExitClick() { close(); }

void TfrmMain::TimerTimer() { close(); }

void TfrmMain::ActivationTimerTimer() {
  ActivationTimer->stop();
  raise();
  activateWindow();
}

void TfrmMain::keyPressEvent(QKeyEvent* event) {
  // Esc is the Exit button's key, without any modifier held.
  if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
    btnExit->click();
    return;
  }
  QDialog::keyPressEvent(event);
}

// Closing the window by its close box or Esc ends the program like Exit does.
void TfrmMain::reject() {
  if (FSaving) return;  // the save's thread still uses the document
  QDialog::done(QDialog::Rejected);
}

void TfrmMain::OpenAnotherClick() {
  if (FSaving) return;
  if (const std::optional<QString> path = FDialogs.OpenFile(this, kOpenFilter, FLastOpenFolder)) OpenPicture(*path);
}

namespace {

// The one local file a drag carries, or nothing.
std::optional<QString> DroppedFile(const QMimeData* data) {
  if (!data || !data->hasUrls() || data->urls().size() != 1 || !data->urls().first().isLocalFile()) return std::nullopt;
  return data->urls().first().toLocalFile();
}

}  // namespace

void TfrmMain::dragEnterEvent(QDragEnterEvent* event) {
  if (!FSaving && DroppedFile(event->mimeData())) event->acceptProposedAction();
}

void TfrmMain::dropEvent(QDropEvent* event) {
  const std::optional<QString> path = DroppedFile(event->mimeData());
  if (FSaving || !path) return;
  event->acceptProposedAction();
  Guarded([&] { OpenPicture(*path); });
}

}  // namespace mosaicer
