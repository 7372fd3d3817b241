#include "app/MainForm.h"

#include <cctype>
#include <utility>

#include <QApplication>
#include <QFileInfo>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include "app/Dialogs.h"
#include "runtime/Exceptions.h"
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
  edit->setToolTip(hint);
  return edit;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& text, int left, int top, const QString& hint) {
  auto* button = new QPushButton(text, parent);
  button->setObjectName(name);
  button->setGeometry(left, top, 73, 21);
  button->setToolTip(hint);
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

QString TApplication::Title() { return gTitle; }
// The taskbar shows the window's caption here; the title is what error boxes carry.
void TApplication::SetTitle(const QString& title) { gTitle = title; }

TImageControl::TImageControl(QWidget* parent) : QWidget(parent) {}

TBitmap32& TImageControl::Picture() {
  if (FPicture.Empty()) {
    FPicture.SetSize(width(), height());
    FPicture.Fill(Color32(255, 255, 255));
  }
  return FPicture;
}

void TImageControl::paintEvent(QPaintEvent*) {
  if (FPicture.Empty()) return;
  // TColor32 is laid out as Qt's 0xAARRGGBB.
  const QImage image(reinterpret_cast<const uchar*>(FPicture.Bits()), FPicture.Width(), FPicture.Height(),
                     FPicture.Width() * 4, QImage::Format_RGB32);
  QPainter painter(this);
  painter.drawImage((width() - image.width()) / 2, (height() - image.height()) / 2, image);
}

TfrmMain::TfrmMain(TDialogs& dialogs, QWidget* parent) : QDialog(parent), FDialogs(dialogs) {
  CreateControls();
  Guarded([this] { FormCreate(); });
}

TfrmMain::~TfrmMain() { Guarded([this] { FormDestroy(); }); }

void TfrmMain::CreateControls() {
  InitResources();
  setObjectName("frmMain");
  setWindowTitle("Mosaicer");
  // A dialog frame: fixed size, no minimise or maximise box.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                 Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(531, 320);
  move(221, 177);
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
  Image1->setPixmap(QPixmap(":/banner-left.png"));
  Image2 = new QLabel(pTop);
  Image2->setObjectName("Image2");
  Image2->setGeometry(416, 0, 113, 56);
  Image2->setAlignment(Qt::AlignCenter);
  Image2->setPixmap(QPixmap(":/banner-right.png"));

  pImageBg = MakePanel(this, "pImageBg", {0, 57, 209, 263});
  pImage = new QLabel("No image loaded", pImageBg);
  pImage->setObjectName("pImage");
  pImage->setGeometry(8, 8, 193, 193);
  pImage->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  pImage->setAlignment(Qt::AlignCenter);
  imgImage = new TImageControl(pImage);
  imgImage->setObjectName("imgImage");
  imgImage->setGeometry(1, 1, 191, 191);
  imgImage->setToolTip("Image fragmentation is displayed here");
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
  memoHTML->setToolTip("The generated HTML code. Use this code instead of a single <IMG> tag.");
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
  FDialogs.ShowMessage(this, TMessageKind::Error, TApplication::Title(), FromStd(MessageForDisplay(e.what())));
}

void TfrmMain::ShowError(const QString& text) { FDialogs.ShowMessage(this, TMessageKind::Error, "Error", text); }

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
  struct TCloser {
    TKWRegistrySettingsStorage& Store;
    ~TCloser() { Store.CloseRead(); }
  } closer{store};
  editImagePath->setText(FromStd(store.ReadString("LastDestFolder", "")));
  editImagePathPrefix->setText(FromStd(store.ReadString("LastPrefix", "")));
  editChunkCount->setText(QString::number(store.ReadInteger("LastNumOfChunks", 16)));
  FLastOpenFolder = FromStd(store.ReadString("LastOpenFolder", ""));
}

void TfrmMain::SaveSettings() {
  TKWRegistrySettingsStorage store;
  store.SetKeyPath(kKeyPath);
  store.OpenForWrite();
  struct TCloser {
    TKWRegistrySettingsStorage& Store;
    ~TCloser() { Store.CloseWrite(); }
  } closer{store};
  store.WriteString("LastDestFolder", ToStd(editImagePath->text()));
  store.WriteString("LastPrefix", ToStd(editImagePathPrefix->text()));
  std::int32_t chunks = 16;
  if (!StrToIntStrict(editChunkCount->text(), chunks)) chunks = 16;
  store.WriteInteger("LastNumOfChunks", chunks);
  store.WriteString("LastOpenFolder", ToStd(FLastOpenFolder));
}

void TfrmMain::OpenImage() {
  const std::optional<QString> path = FDialogs.OpenFile(this, kOpenFilter, FLastOpenFolder);
  if (path) {
    const qsizetype slash = path->lastIndexOf('/');
    // A file in the root keeps the root's separator.
    FLastOpenFolder = slash < 0 ? QString() : path->left(slash == 0 ? 1 : slash);
    FImage->LoadFromFile(ToStd(*path));
    UpdateImageInfo();
    if (FStarting) FActivateAfterStart = true;
  } else if (FStarting) {
    Timer->start();
  }
}

void TfrmMain::DrawImagePreview() {
  FImage->DrawPreview(imgImage->Picture().Canvas(), imgImage->width(), imgImage->height(), true);
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
  const QString title = QFileInfo(FromStd(FImage->FileName)).fileName() + " - Norvel Crumb";
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
  if (!StrToIntStrict(editChunkCount->text(), count)) {
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
  if (!PictureLoaded()) return;
  memoHTML->clear();
  const std::string html = FImage->SaveFragments(ToStd(editImagePathPrefix->text()), ToStd(editImagePath->text()));
  memoHTML->setPlainText(FromStd(html));
  FDialogs.ShowMessage(this, TMessageKind::Information, "Information", "The fragments were successfully saved.");
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
void TfrmMain::reject() { QDialog::done(QDialog::Rejected); }

bool TfrmMain::StrToIntStrict(const QString& text, std::int32_t& value) {
  // Characters outside Latin-1 become "?", which no rule below accepts; the text ends at its
  // end, not at an embedded zero.
  const QByteArray bytes = text.toLatin1();
  if (bytes.contains('\0')) return false;
  const char* p = bytes.constData();
  while (*p == ' ') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  std::uint32_t magnitude = 0;
  if (*p == '$' || *p == 'x' || *p == 'X' || (p[0] == '0' && (p[1] == 'x' || p[1] == 'X'))) {
    p += *p == '0' ? 2 : 1;
    int digits = 0;
    for (; std::isxdigit(static_cast<unsigned char>(*p)); ++p, ++digits) {
      if (digits == 8) return false;
      const int c = std::tolower(static_cast<unsigned char>(*p));
      magnitude = magnitude * 16 + static_cast<std::uint32_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    if (digits == 0) return false;
  } else {
    if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    std::uint64_t decimal = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
      decimal = decimal * 10 + static_cast<std::uint64_t>(*p - '0');
      if (decimal > 2147483648u) return false;
    }
    if (decimal == 2147483648u && !negative) return false;
    magnitude = static_cast<std::uint32_t>(decimal);
  }
  if (*p != '\0') return false;
  value = static_cast<std::int32_t>(negative ? 0u - magnitude : magnitude);
  return true;
}

}  // namespace mosaicer
