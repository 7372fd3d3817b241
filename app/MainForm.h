// The program's one window: its design and what its commands do.
#pragma once

#include <QDialog>
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

// The application object's title and its one place for failures.
class TApplication {
public:
  static QString Title();
  static void SetTitle(const QString& title);
};

// The preview box: shows its picture one to one; until the first drawing it has none and lets
// its panel's caption show through.
class TImageControl : public QWidget {
public:
  explicit TImageControl(QWidget* parent);
  bool HasPicture() const { return !FPicture.Empty(); }
  // The picture to draw on, made the control's size and white on first use.
  TBitmap32& Picture();
  const TBitmap32& PictureBitmap() const { return FPicture; }

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  TBitmap32 FPicture;
};

class TfrmMain : public QDialog {
public:
  explicit TfrmMain(TDialogs& dialogs, QWidget* parent = nullptr);
  ~TfrmMain() override;

  void btnPreviewClick();
  void btnSaveClick();
  void btnBrowseClick();
  void btnExitClick();
  void TimerTimer();
  void ActivationTimerTimer();

  const TMCImage& Image() const { return *FImage; }

  // The strict number conversion of the chunk count: leading blanks, an optional sign, then
  // decimal digits or one to eight hexadecimal digits after "$", "x" or "0x"; nothing after.
  static bool StrToIntStrict(const QString& text, std::int32_t& value);

  static constexpr const char* kKeyPath = "Software\\Norvel\\Crumb";
  static constexpr const char* kOpenFilter = "JPEG images (*.jpg, *.jpeg, *.jpe)|*.jpg;*.jpe;*.jpeg|All files (*.*)|*.*";

protected:
  void keyPressEvent(QKeyEvent* event) override;
  void reject() override;

private:
  void CreateControls();
  void FormCreate();
  void FormDestroy();
  void LoadSettings();
  void SaveSettings();
  void OpenImage();
  void UpdateImageInfo();
  void DrawImagePreview();
  bool PictureLoaded();

  // Runs a handler's work; a failure that escapes it is shown in the one place for failures.
  template <typename F>
  void Guarded(F&& work);
  void ShowException(const std::exception& e);
  void ShowError(const QString& text);

  TDialogs& FDialogs;
  std::unique_ptr<TMCImage> FImage;
  QString FLastOpenFolder;
  bool FStarting = false;
  bool FActivateAfterStart = false;

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
