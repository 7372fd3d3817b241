// The window under the offscreen platform: start-up, the commands, the messages and the
// remembered settings, with the dialogs answered by the test.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <deque>
#include <filesystem>
#include <memory>

#include "app/Dialogs.h"
#include "app/MainForm.h"
#include "tests/support/TestPictures.h"

using namespace mosaicer;

namespace {

// Answers the dialogs from queues and records every message.
class TFakeDialogs : public TDialogs {
public:
  // Answers in turn; a null text is a cancelled dialog.
  std::deque<QString> Files, Folders;
  QString LastInitialFolder = "(not asked)";
  struct TMessage {
    TMessageKind Kind;
    QString Caption, Text;
  };
  std::vector<TMessage> Messages;

  std::optional<QString> OpenFile(QWidget*, const QString& filter, const QString& initialFolder) override {
    LastFilter = filter;
    LastInitialFolder = initialFolder;
    return Pop(Files);
  }
  std::optional<QString> SelectFolder(QWidget*) override { return Pop(Folders); }
  void ShowMessage(QWidget*, TMessageKind kind, const QString& caption, const QString& text) override {
    Messages.push_back({kind, caption, text});
  }
  QString LastFilter;

private:
  static std::optional<QString> Pop(std::deque<QString>& answers) {
    if (answers.empty()) return std::nullopt;
    const QString answer = answers.front();
    answers.pop_front();
    if (answer.isNull()) return std::nullopt;
    return answer;
  }
};

}  // namespace

class MainFormTest : public QObject {
  Q_OBJECT

private:
  std::unique_ptr<testing::TTempDir> FDir;
  TFakeDialogs FDialogs;
  QString FPhoto;

  template <typename T>
  T* Find(TfrmMain& form, const char* name) {
    T* w = form.findChild<T*>(name);
    if (!w) qFatal("no control %s", name);
    return w;
  }
  std::unique_ptr<TfrmMain> Start(std::optional<QString> file) {
    FDialogs.Messages.clear();
    FDialogs.Files = {file ? *file : QString()};
    TApplication::SetTitle("Norvel Crumb");
    return std::make_unique<TfrmMain>(FDialogs);
  }
  QString Text(TfrmMain& form, const char* edit) { return Find<QLineEdit>(form, edit)->text(); }
  void SetText(TfrmMain& form, const char* edit, const QString& text) { Find<QLineEdit>(form, edit)->setText(text); }
  void Click(TfrmMain& form, const char* button) { Find<QPushButton>(form, button)->click(); }
  QString LastMessage() { return FDialogs.Messages.empty() ? QString() : FDialogs.Messages.back().Text; }
  // A snapshot of the preview box's pixels.
  std::vector<TColor32> Preview(TfrmMain& form) {
    const TBitmap32& b = Find<TImageControl>(form, "imgImage")->PictureBitmap();
    return std::vector<TColor32>(b.Bits(), b.Bits() + static_cast<std::size_t>(b.Width()) * static_cast<std::size_t>(b.Height()));
  }

private slots:
  void init() {
    FDir = std::make_unique<testing::TTempDir>();
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(FDir->File("config")));
    FPhoto = QString::fromStdString(FDir->File("photo.jpg"));
    testing::WriteJPEG(FDir->File("photo.jpg"), testing::PhotoLike(640, 480));
    FDialogs = TFakeDialogs();
  }
  void cleanup() { FDir.reset(); }

  void firstRunShowsTheDefaults() {
    auto form = Start(std::nullopt);
    QCOMPARE(Text(*form, "editImagePath"), QString());
    QCOMPARE(Text(*form, "editImagePathPrefix"), QString());
    QCOMPARE(Text(*form, "editChunkCount"), QString("16"));
    QCOMPARE(FDialogs.LastInitialFolder, QString());
    QCOMPARE(FDialogs.LastFilter, QString("JPEG images (*.jpg, *.jpeg, *.jpe)|*.jpg;*.jpe;*.jpeg|All files (*.*)|*.*"));
    QCOMPARE(form->windowTitle(), QString("Mosaicer"));
    QCOMPARE(Find<QLabel>(*form, "pImage")->text(), QString("No image loaded"));
    QVERIFY(!Find<TImageControl>(*form, "imgImage")->HasPicture());
  }

  void designOfTheWindow() {
    auto form = Start(std::nullopt);
    QCOMPARE(form->size(), QSize(531, 320));
    QCOMPARE(form->minimumSize(), form->maximumSize());
    QVERIFY(!(form->windowFlags() & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(form->windowFlags() & Qt::WindowMaximizeButtonHint));
    QCOMPARE(Find<QWidget>(*form, "imgImage")->size(), QSize(191, 191));
    QCOMPARE(Find<QWidget>(*form, "btnSave")->geometry(), QRect(160, 232, 73, 21));
    QCOMPARE(Find<QWidget>(*form, "editChunkCount")->toolTip(), QString("Please type the desired number of chunks here"));
    QVERIFY(Find<QPushButton>(*form, "btnSave")->isDefault());
    QVERIFY(Find<QPlainTextEdit>(*form, "memoHTML")->isReadOnly());
    // The first control has the focus, and Tab walks the designed order round to the start.
    form->show();
    QVERIFY(QTest::qWaitForWindowActive(form.get()));
    const char* order[] = {"editFilename", "editChunkCount", "editImagePathPrefix", "btnPreview", "btnSave",
                           "btnExit",      "memoHTML",       "editImagePath",       "btnBrowse",  "editFilename"};
    QCOMPARE(QApplication::focusWidget()->objectName(), QString(order[0]));
    for (std::size_t i = 1; i < std::size(order); ++i) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      QCOMPARE(QApplication::focusWidget()->objectName(), QString(order[i]));
    }
  }

  void pictureLoadedAtStart() {
    auto form = Start(FPhoto);
    QVERIFY(FDialogs.Messages.empty());
    QCOMPARE(Text(*form, "editFilename"), FPhoto);
    QCOMPARE(Find<QLabel>(*form, "lblDimensionsValue")->text(), QString("640x480 pixels"));
    QCOMPARE(Find<QLabel>(*form, "lblSizeValue")->text(),
             QString::number(std::filesystem::file_size(FPhoto.toStdString())) + " bytes");
    QCOMPARE(form->windowTitle(), QString("photo.jpg - Norvel Crumb"));
    QCOMPARE(TApplication::Title(), QString("photo.jpg - Norvel Crumb"));
    const auto pixels = Preview(*form);
    QCOMPARE(pixels.size(), std::size_t{191 * 191});
    QCOMPARE(pixels[0], Color32(255, 255, 255));  // the margin above the picture stays white
    QVERIFY(pixels[100 * 191 + 100] != Color32(255, 255, 255));
    QVERIFY(Find<QTimer>(*form, "ActivationTimer")->isActive());
    QVERIFY(!Find<QTimer>(*form, "Timer")->isActive());
  }

  void cancelledStartClosesAfterTheTimer() {
    auto form = Start(std::nullopt);
    QTimer* timer = Find<QTimer>(*form, "Timer");
    QVERIFY(timer->isActive());
    QCOMPARE(timer->interval(), 500);
    form->show();
    QVERIFY(QTest::qWaitFor([&] { return !form->isVisible(); }, 3000));
  }

  void loadFailureAtStartIsShownAndTheWindowOpens() {
    testing::WriteBytes(FDir->File("text.jpg"), {'n', 'o'});
    auto form = Start(QString::fromStdString(FDir->File("text.jpg")));
    QCOMPARE(FDialogs.Messages.size(), std::size_t{1});
    QCOMPARE(FDialogs.Messages[0].Text, QString("JPEG error #53."));
    QCOMPARE(FDialogs.Messages[0].Caption, QString("Norvel Crumb"));
    QVERIFY(FDialogs.Messages[0].Kind == TMessageKind::Error);
    QCOMPARE(form->windowTitle(), QString("Mosaicer"));
    QVERIFY(!Find<QTimer>(*form, "ActivationTimer")->isActive());
    // Without a picture both commands say so and change nothing.
    Click(*form, "btnPreview");
    QVERIFY(LastMessage().startsWith("No picture is loaded"));
    Click(*form, "btnSave");
    QVERIFY(LastMessage().startsWith("No picture is loaded"));
    QCOMPARE(Find<QPlainTextEdit>(*form, "memoHTML")->toPlainText(), QString());
  }

  void zeroBytePictureFailsInThePreview() {
    testing::WriteBytes(FDir->File("empty.jpg"), {});
    auto form = Start(QString::fromStdString(FDir->File("empty.jpg")));
    QCOMPARE(LastMessage(), QString("Canvas does not allow drawing."));
    QCOMPARE(Find<QLabel>(*form, "lblDimensionsValue")->text(), QString());
    QVERIFY(!Find<QTimer>(*form, "ActivationTimer")->isActive());
  }

  void chunkCountConversion() {
    struct {
      const char* Text;
      bool Ok;
      std::int32_t Value;
    } cases[] = {{"16", true, 16},     {" 16", true, 16},      {"16 ", false, 0},   {"", false, 0},
                 {"$10", true, 16},    {"0x10", true, 16},     {"x10", true, 16},   {"0X1a", true, 26},
                 {"-$10", true, -16},  {"+16", true, 16},      {"$", false, 0},     {"0x", false, 0},
                 {"$123456789", false, 0}, {"$FFFFFFFF", true, -1}, {"2147483647", true, 2147483647},
                 {"2147483648", false, 0}, {"-2147483648", true, -2147483647 - 1}, {"1e3", false, 0},
                 {"\t16", false, 0},   {"- 16", false, 0},     {"١٦", false, 0}};
    std::int32_t zero = 0;
    QVERIFY(!TfrmMain::StrToIntStrict(QString("16") + QChar(0) + "x", zero));
    for (const auto& c : cases) {
      std::int32_t value = 0;
      QCOMPARE(TfrmMain::StrToIntStrict(QString::fromUtf8(c.Text), value), c.Ok);
      if (c.Ok) QCOMPARE(value, c.Value);
    }
  }

  void crumbChecksTheCount() {
    auto form = Start(FPhoto);
    const auto before = Preview(*form);
    struct {
      const char* Text;
      const char* Message;
      const char* After;
    } rejected[] = {{"16 ", "Incorrect number of chunks value", "16 "},
                    {"", "Incorrect number of chunks value", ""},
                    {"3", "Number of chunks must be greater than 3 and smaller than 1025", "4"},
                    {"-7", "Number of chunks must be greater than 3 and smaller than 1025", "4"},
                    {"1025", "Number of chunks must be greater than 3 and smaller than 1025", "1024"}};
    for (const auto& r : rejected) {
      SetText(*form, "editChunkCount", r.Text);
      FDialogs.Messages.clear();
      Click(*form, "btnPreview");
      QCOMPARE(FDialogs.Messages.size(), std::size_t{1});
      QCOMPARE(FDialogs.Messages[0].Text, QString(r.Message));
      QCOMPARE(FDialogs.Messages[0].Caption, QString("Error"));
      QCOMPARE(Text(*form, "editChunkCount"), QString(r.After));
      QCOMPARE(form->Image().Breakup.RowCount(), 0);
      QVERIFY(Preview(*form) == before);
    }
    SetText(*form, "editChunkCount", " 0x10");
    FDialogs.Messages.clear();
    Click(*form, "btnPreview");
    QVERIFY(FDialogs.Messages.empty());
    QCOMPARE(form->Image().Breakup.RowCount(), 4);
    const auto divided = Preview(*form);
    QVERIFY(divided != before);
    // A rejected count keeps the division and its preview.
    SetText(*form, "editChunkCount", "2000");
    Click(*form, "btnPreview");
    QCOMPARE(form->Image().Breakup.RowCount(), 4);
    QVERIFY(Preview(*form) == divided);
    for (const char* ok : {"4", "1024"}) {
      SetText(*form, "editChunkCount", ok);
      FDialogs.Messages.clear();
      Click(*form, "btnPreview");
      QVERIFY(FDialogs.Messages.empty());
    }
  }

  void saveWritesTheFragmentsAndShowsTheHtml() {
    auto form = Start(FPhoto);
    const QString out = QString::fromStdString(FDir->File("out"));
    SetText(*form, "editImagePath", out);
    SetText(*form, "editImagePathPrefix", "images/");
    SetText(*form, "editChunkCount", "16");
    Click(*form, "btnPreview");
    FDialogs.Messages.clear();
    Click(*form, "btnSave");
    QCOMPARE(FDialogs.Messages.size(), std::size_t{1});
    QCOMPARE(FDialogs.Messages[0].Text, QString("The fragments were successfully saved."));
    QCOMPARE(FDialogs.Messages[0].Caption, QString("Information"));
    QVERIFY(FDialogs.Messages[0].Kind == TMessageKind::Information);
    const QString html = Find<QPlainTextEdit>(*form, "memoHTML")->toPlainText();
    QCOMPARE(html.count("<img"), 16);
    QVERIFY(html.contains("src=\"images/photo-"));
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(out.toStdString())) files += entry.is_regular_file();
    QCOMPARE(files, std::size_t{16});
  }

  void saveFailureLeavesTheMemoEmpty() {
    auto form = Start(FPhoto);
    testing::WriteBytes(FDir->File("plain-file"), {'x'});
    Click(*form, "btnPreview");
    Find<QPlainTextEdit>(*form, "memoHTML")->setPlainText("old");
    SetText(*form, "editImagePath", QString::fromStdString(FDir->File("plain-file/sub")));
    FDialogs.Messages.clear();
    Click(*form, "btnSave");
    QCOMPARE(FDialogs.Messages.size(), std::size_t{1});
    QVERIFY(FDialogs.Messages[0].Text.startsWith("Cannot create file \""));
    QCOMPARE(FDialogs.Messages[0].Caption, TApplication::Title());
    QCOMPARE(Find<QPlainTextEdit>(*form, "memoHTML")->toPlainText(), QString());
  }

  void browseFillsTheFolderUnlessCancelled() {
    auto form = Start(FPhoto);
    SetText(*form, "editImagePath", "before");
    Click(*form, "btnBrowse");
    QCOMPARE(Text(*form, "editImagePath"), QString("before"));
    FDialogs.Folders = {QString("/chosen/folder")};
    Click(*form, "btnBrowse");
    QCOMPARE(Text(*form, "editImagePath"), QString("/chosen/folder"));
  }

  void enterSavesAndEscExits() {
    auto form = Start(FPhoto);
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    SetText(*form, "editImagePath", QString::fromStdString(FDir->File("enter")));
    Find<QLineEdit>(*form, "editChunkCount")->setFocus();
    FDialogs.Messages.clear();
    QTest::keyClick(Find<QLineEdit>(*form, "editChunkCount"), Qt::Key_Return);
    QCOMPARE(LastMessage(), QString("The fragments were successfully saved."));
    // With another button focused, Enter presses that one.
    Find<QPushButton>(*form, "btnPreview")->setFocus();
    FDialogs.Messages.clear();
    QTest::keyClick(Find<QPushButton>(*form, "btnPreview"), Qt::Key_Return);
    QVERIFY(FDialogs.Messages.empty());
    QCOMPARE(form->Image().Breakup.RowCount(), 4);
    QTest::keyClick(form.get(), Qt::Key_Escape);
    QVERIFY(!form->isVisible());
  }

  void settingsAreWrittenBackAndReadAtTheNextStart() {
    {
      auto form = Start(FPhoto);
      SetText(*form, "editChunkCount", "5000");
      SetText(*form, "editImagePathPrefix", "pics/");
      SetText(*form, "editImagePath", "/some/folder");
    }
    auto form = Start(std::nullopt);
    QCOMPARE(Text(*form, "editChunkCount"), QString("5000"));
    QCOMPARE(Text(*form, "editImagePathPrefix"), QString("pics/"));
    QCOMPARE(Text(*form, "editImagePath"), QString("/some/folder"));
    QCOMPARE(FDialogs.LastInitialFolder, QString::fromStdString(FDir->Path()));
    Click(*form, "btnPreview");  // no picture, but the count is checked first
    QCOMPARE(Text(*form, "editChunkCount"), QString("1024"));
    SetText(*form, "editChunkCount", "many");
    form.reset();
    form = Start(std::nullopt);
    QCOMPARE(Text(*form, "editChunkCount"), QString("16"));
  }
};

QTEST_MAIN(MainFormTest)
#include "MainFormTest.moc"
