// The program's one window: its design and what its commands do.
#pragma once

#include <QDialog>
#include <QRect>
#include <QString>

#include <exception>
#include <memory>

#include "core/MCImage.h"

class QFrame;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace mosaicer {

class TDialogs;

// Registers the window's pictures and the program's icon; the window does it itself as well.
void InitAppResources();

// The application's title: what the taskbar lists and what the generic error box is captioned.
class TApplication {
public:
  // The title at start; a loaded picture's name goes in front of it.
  static constexpr const char* kBaseTitle = "Norvel Crumb";
  static QString Title();
  static void SetTitle(const QString& title);
};

// Where a window of the designed frame goes on a screen with the given available area: the
// designed place when the whole frame fits there, else centred on the area; a frame larger than
// the area keeps its top-left corner (title bar and first controls) on it.
QPoint PlaceOnScreen(const QRect& designedFrame, const QRect& available);

// The preview box: shows its picture one to one; until the first drawing it has none and lets
// its panel's caption show through.
class TImageControl : public QWidget {
public:
  explicit TImageControl(QWidget* parent);
  bool HasPicture() const { return !FPicture.Empty(); }
  // The picture to draw on, made the control's size in device pixels and white on first use.
  TBitmap32& Picture();
  // Drops the picture, so that the next Picture() is white again (a new picture may leave
  // margins the old one covered).
  void ClearPicture() { FPicture.SetSize(0, 0); }
  const TBitmap32& PictureBitmap() const { return FPicture; }

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  TBitmap32 FPicture;
};

class TfrmMain : public QDialog {
public:
  // startPicture, when given, is opened at start instead of asking with the open dialog.
  explicit TfrmMain(TDialogs& dialogs, const QString& startPicture = QString(), QWidget* parent = nullptr);
  ~TfrmMain() override;

  void btnPreviewClick();
  void btnSaveClick();
  void btnBrowseClick();
  void btnExitClick();
  void TimerTimer();
  void ActivationTimerTimer();
  // Ctrl+O: the open dialog again, in the last folder.
  void OpenAnotherClick();

  const TMCImage& Image() const { return *FImage; }

  // The one place where a failure that escaped a handler is shown.
  void ShowException(const std::exception& e);

  // How long a save runs before its progress dialog appears.
  static constexpr int kProgressDelayMs = 500;

  static constexpr const char* kKeyPath = "Software\\Norvel\\Crumb";
  static constexpr const char* kOpenFilter = "JPEG images (*.jpg, *.jpeg, *.jpe)|*.jpg;*.jpe;*.jpeg|All files (*.*)|*.*";

protected:
  void keyPressEvent(QKeyEvent* event) override;
  void reject() override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

private:
  void CreateControls();
  void FormCreate();
  void FormDestroy();
  void LoadSettings();
  void SaveSettings();
  void OpenImage();
  void OpenPicture(const QString& path);
  void UpdateImageInfo();
  void DrawImagePreview();
  bool PictureLoaded();
  // Runs the save on a thread of its own while this thread keeps the window painted and, after
  // kProgressDelayMs, shows the progress dialog. False when the user cancelled it.
  bool SaveWithProgress(const std::string& prefix, const std::string& folder, std::string& html,
                        std::int32_t& written, std::int32_t& total);

  // Runs a handler's work; a failure that escapes it is shown by ShowException.
  template <typename F>
  void Guarded(F&& work);
  void ShowError(const QString& text);

  TDialogs& FDialogs;
  std::unique_ptr<TMCImage> FImage;
  QString FLastOpenFolder;
  QString FStartPicture;
  bool FStarting = false;
  bool FActivateAfterStart = false;
  bool FSaving = false;  // the document is in use by the save's thread

  QFrame* pTop = nullptr;
  QFrame* pImageBg = nullptr;
  QFrame* pSettings = nullptr;
  QLabel* Image1 = nullptr;
  QLabel* Image2 = nullptr;
  QLabel* pImage = nullptr;
  TImageControl* imgImage = nullptr;
  QLabel* lblFilename = nullptr;
  QLineEdit* editFilename = nullptr;
  QLabel* lblDimensions = nullptr;
  QLabel* lblDimensionsValue = nullptr;
  QLabel* lblSize = nullptr;
  QLabel* lblSizeValue = nullptr;
  QLabel* pGeneralSettings = nullptr;
  QLabel* Label1 = nullptr;
  QLineEdit* editChunkCount = nullptr;
  QLabel* Label2 = nullptr;
  QLineEdit* editImagePathPrefix = nullptr;
  QLabel* Label4 = nullptr;
  QLineEdit* editImagePath = nullptr;
  QPushButton* btnBrowse = nullptr;
  QLabel* Label3 = nullptr;
  QPlainTextEdit* memoHTML = nullptr;
  QFrame* Bevel1 = nullptr;
  QPushButton* btnPreview = nullptr;
  QPushButton* btnSave = nullptr;
  QPushButton* btnExit = nullptr;
  QTimer* Timer = nullptr;
  QTimer* ActivationTimer = nullptr;
};

}  // namespace mosaicer
