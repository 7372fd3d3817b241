// The window under the offscreen platform: start-up, the commands, the messages and the
// remembered settings, with the dialogs answered by the test.
#include <QApplication>
#include <QDropEvent>
#include <QFileInfo>
#include <QLabel>
#include <QMimeData>
#include <QProcess>
#include <QProgressDialog>
#include <QScreen>
#include <QTextDocumentFragment>
#include <QWindow>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "app/Dialogs.h"
#include "app/MainForm.h"
#include "runtime/Exceptions.h"
#include "runtime/FileStream.h"
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
    QString Caption, Text, Detail;
  };
  std::vector<TMessage> Messages;

  std::optional<QString> OpenFile(QWidget*, const QString& filter, const QString& initialFolder) override {
    LastFilter = filter;
    LastInitialFolder = initialFolder;
    return Pop(Files);
  }
  std::optional<QString> SelectFolder(QWidget*) override { return Pop(Folders); }
  void ShowMessage(QWidget*, TMessageKind kind, const QString& caption, const QString& text,
                   const QString& detail) override {
    Messages.push_back({kind, caption, text, detail});
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

// Counts the progress dialogs that were shown.
class TShowCounter : public QObject {
public:
  int Shown = 0;

protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show && qobject_cast<QProgressDialog*>(watched)) ++Shown;
    return false;
  }
};

std::size_t FilesIn(const std::string& folder) {
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) files += entry.is_regular_file();
  return files;
}

// A JPEG file written whole starts with its start marker and ends with its end marker.
bool CompleteJPEG(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return bytes.size() > 4 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[bytes.size() - 2] == 0xFF &&
         bytes.back() == 0xD9;
}

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
  std::unique_ptr<TfrmMain> Start(std::optional<QString> file, const QString& startPicture = QString()) {
    FDialogs.Messages.clear();
    FDialogs.Files = {file ? *file : QString()};
    TApplication::SetTitle("Norvel Crumb");
    return std::make_unique<TfrmMain>(FDialogs, startPicture);
  }
  // What a drop of these files onto the window does; true when the window took it.
  bool Drop(TfrmMain& form, const QStringList& paths) {
    QMimeData data;
    QList<QUrl> urls;
    for (const QString& path : paths) urls << QUrl::fromLocalFile(path);
    data.setUrls(urls);
    QDragEnterEvent enter(QPoint(100, 100), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&form, &enter);
    if (!enter.isAccepted()) return false;
    QDropEvent drop(QPointF(100, 100), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&form, &drop);
    return drop.isAccepted();
  }
  // The facts the window shows for a loaded picture.
  void CompareFacts(TfrmMain& form, const QString& path, const char* dimensions) {
    const QString title = QFileInfo(path).fileName() + " - Norvel Crumb";
    QCOMPARE(Text(form, "editFilename"), path);
    QCOMPARE(Find<QLabel>(form, "lblDimensionsValue")->text(), QString(dimensions));
    QCOMPARE(Find<QLabel>(form, "lblSizeValue")->text(),
             QString::number(std::filesystem::file_size(path.toStdString())) + " bytes");
    QCOMPARE(form.windowTitle(), title);
    QCOMPARE(TApplication::Title(), title);
  }
  // The state a failed open must leave alone.
  struct TShown {
    QString File, Dimensions, Size, Title, AppTitle, Memo;
    std::int32_t Rows;
    std::vector<TColor32> Preview;
    bool operator==(const TShown&) const = default;
  };
  TShown Shown(TfrmMain& form) {
    return {Text(form, "editFilename"),
            Find<QLabel>(form, "lblDimensionsValue")->text(),
            Find<QLabel>(form, "lblSizeValue")->text(),
            form.windowTitle(),
            TApplication::Title(),
            Find<QPlainTextEdit>(form, "memoHTML")->toPlainText(),
            form.Image().Breakup.RowCount(),
            Preview(form)};
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
  void cleanup() {
    FileSeam::Reset();
    FDir.reset();
  }

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
    // A normal top-level window, which taskbars list, with a fixed frame.
    QCOMPARE(form->windowType(), Qt::Window);
    QCOMPARE(form->pos(), PlaceOnScreen(QRect(221, 177, 531, 320), QGuiApplication::primaryScreen()->availableGeometry()));
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
    QVERIFY(form->windowHandle()->transientParent() == nullptr);
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
    CompareFacts(*form, FPhoto, "640x480 pixels");
    if (QTest::currentTestFailed()) return;
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

  void crumbChecksTheCount() {
    auto form = Start(FPhoto);
    const auto before = Preview(*form);
    struct {
      const char* Text;
      const char* Message;
      const char* After;
    } rejected[] = {{"16 ", "Incorrect number of chunks value", "16 "},
                    {"", "Incorrect number of chunks value", ""},
                    {"١٦", "Incorrect number of chunks value", "١٦"},  // digits outside Latin-1
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

  void hintsAreShownAsPlainText_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("hint");
    QTest::newRow("prefix with <IMG>") << "editImagePathPrefix"
                                       << "The prefix is prepended to all generated image fragment links in <IMG> tags";
    QTest::newRow("memo with <IMG>") << "memoHTML"
                                     << "The generated HTML code. Use this code instead of a single <IMG> tag.";
    QTest::newRow("chunk count") << "editChunkCount" << "Please type the desired number of chunks here";
    QTest::newRow("preview") << "imgImage" << "Image fragmentation is displayed here";
    QTest::newRow("folder") << "editImagePath" << "The destination folder to put image fragments to";
    QTest::newRow("browse") << "btnBrowse" << "Select the destination folder";
    QTest::newRow("crumb") << "btnPreview" << "Divide the image into chunks";
    QTest::newRow("save") << "btnSave" << "Save the crumb'ed image chunks";
    QTest::newRow("exit") << "btnExit" << "Exit the application";
  }
  void hintsAreShownAsPlainText() {
    QFETCH(QString, control);
    QFETCH(QString, hint);
    auto form = Start(std::nullopt);
    const QString tip = Find<QWidget>(*form, control.toLatin1().constData())->toolTip();
    // What the tooltip shows: rich text rendered, plain text as it is.
    const QString shown = Qt::mightBeRichText(tip) ? QTextDocumentFragment::fromHtml(tip).toPlainText() : tip;
    QCOMPARE(shown, hint);
  }

  void placementOnTheScreen_data() {
    QTest::addColumn<QRect>("available");
    QTest::addColumn<QPoint>("place");
    QTest::newRow("fits: the designed place") << QRect(0, 0, 1280, 1024) << QPoint(221, 177);
    QTest::newRow("fits exactly to the edges") << QRect(221, 177, 531, 320) << QPoint(221, 177);
    QTest::newRow("scale 2 on 1280x1024: centred") << QRect(0, 0, 640, 512) << QPoint(54, 96);
    QTest::newRow("one pixel too narrow") << QRect(0, 0, 751, 600) << QPoint(110, 140);
    QTest::newRow("a taskbar at the top") << QRect(0, 200, 800, 400) << QPoint(134, 240);
    QTest::newRow("screen to the right of another") << QRect(1280, 0, 1024, 768) << QPoint(1526, 224);
    QTest::newRow("smaller than the window") << QRect(0, 0, 400, 300) << QPoint(0, 0);
    QTest::newRow("smaller, offset screen") << QRect(-400, 50, 400, 300) << QPoint(-400, 50);
  }
  void placementOnTheScreen() {
    QFETCH(QRect, available);
    QFETCH(QPoint, place);
    const QPoint at = PlaceOnScreen(QRect(221, 177, 531, 320), available);
    QCOMPARE(at, place);
    const QRect placed(at, QSize(531, 320));
    if (available.width() >= 531 && available.height() >= 320) QVERIFY(available.contains(placed));
  }

  void saveWithoutADivisionIsRefused() {
    auto form = Start(FPhoto);
    const QString out = QString::fromStdString(FDir->File("out"));
    SetText(*form, "editImagePath", out);
    Find<QPlainTextEdit>(*form, "memoHTML")->setPlainText("old");
    const TShown before = Shown(*form);
    Click(*form, "btnSave");
    QCOMPARE(FDialogs.Messages.size(), std::size_t{1});
    QCOMPARE(FDialogs.Messages[0].Text, QString("There is no division to save yet: press \"Crumb!\" first."));
    QCOMPARE(FDialogs.Messages[0].Caption, QString("Error"));
    QVERIFY(FDialogs.Messages[0].Kind == TMessageKind::Error);
    QVERIFY(Shown(*form) == before);
    QVERIFY(!std::filesystem::exists(out.toStdString()));
  }

  void pictureGivenAtStartOpensWithoutTheDialog() {
    {
      auto form = Start(std::nullopt, FPhoto);
      QCOMPARE(FDialogs.LastInitialFolder, QString("(not asked)"));
      QVERIFY(FDialogs.Messages.empty());
      QCOMPARE(Text(*form, "editFilename"), FPhoto);
      QCOMPARE(Find<QLabel>(*form, "lblDimensionsValue")->text(), QString("640x480 pixels"));
      QCOMPARE(form->windowTitle(), QString("photo.jpg - Norvel Crumb"));
      QVERIFY(Find<QTimer>(*form, "ActivationTimer")->isActive());
      QVERIFY(!Find<QTimer>(*form, "Timer")->isActive());
    }
    // Its folder is remembered as a chosen one is.
    auto form = Start(std::nullopt);
    QCOMPARE(FDialogs.LastInitialFolder, QString::fromStdString(FDir->Path()));
  }

  void pictureGivenAtStartThatFailsIsAFailedLoad() {
    testing::WriteBytes(FDir->File("text.jpg"), {'n', 'o'});
    auto form = Start(std::nullopt, QString::fromStdString(FDir->File("text.jpg")));
    QCOMPARE(FDialogs.LastInitialFolder, QString("(not asked)"));
    QCOMPARE(FDialogs.Messages.size(), std::size_t{1});
    QCOMPARE(FDialogs.Messages[0].Text, QString("JPEG error #53."));
    QCOMPARE(FDialogs.Messages[0].Caption, QString("Norvel Crumb"));
    QCOMPARE(form->windowTitle(), QString("Mosaicer"));
    QVERIFY(!Find<QTimer>(*form, "ActivationTimer")->isActive());
    QVERIFY(!Find<QTimer>(*form, "Timer")->isActive());
  }

  void ctrlOOpensAnotherPicture() {
    auto form = Start(FPhoto);
    form->show();
    QVERIFY(QTest::qWaitForWindowActive(form.get()));
    Click(*form, "btnPreview");
    Find<QPlainTextEdit>(*form, "memoHTML")->setPlainText("old html");
    const QString other = QString::fromStdString(FDir->File("sub/wide.jpg"));
    std::filesystem::create_directory(FDir->File("sub"));
    testing::WriteJPEG(other.toStdString(), testing::PhotoLike(300, 100));
    FDialogs.Files = {other};
    FDialogs.Messages.clear();
    QTest::keyClick(form.get(), Qt::Key_O, Qt::ControlModifier);
    QVERIFY(FDialogs.Messages.empty());
    QCOMPARE(FDialogs.LastInitialFolder, QString::fromStdString(FDir->Path()));
    CompareFacts(*form, other, "300x100 pixels");
    if (QTest::currentTestFailed()) return;
    QCOMPARE(form->Image().Breakup.RowCount(), 0);
    QCOMPARE(Find<QPlainTextEdit>(*form, "memoHTML")->toPlainText(), QString());
    // The wide picture leaves white bands where the earlier one had pixels.
    const auto pixels = Preview(*form);
    QCOMPARE(pixels[10 * 191 + 95], Color32(255, 255, 255));
    QVERIFY(pixels[95 * 191 + 95] != Color32(255, 255, 255));
    // The next dialog opens in the new picture's folder; a cancelled one changes nothing.
    const TShown opened = Shown(*form);
    QTest::keyClick(form.get(), Qt::Key_O, Qt::ControlModifier);
    QCOMPARE(FDialogs.LastInitialFolder, QString::fromStdString(FDir->File("sub")));
    QVERIFY(Shown(*form) == opened);
    QVERIFY(FDialogs.Messages.empty());
  }

  void openThatFailsLeavesTheEarlierPicture_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("message");
    QTest::newRow("not a JPEG") << QByteArray("no") << "JPEG error #53.";
    QTest::newRow("zero bytes") << QByteArray() << "Canvas does not allow drawing.";
  }
  void openThatFailsLeavesTheEarlierPicture() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, message);
    auto form = Start(FPhoto);
    Click(*form, "btnPreview");
    Find<QPlainTextEdit>(*form, "memoHTML")->setPlainText("old html");
    const TShown before = Shown(*form);
    testing::WriteBytes(FDir->File("bad.jpg"), std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
    FDialogs.Files = {QString::fromStdString(FDir->File("bad.jpg"))};
    FDialogs.Messages.clear();
    form->show();
    QVERIFY(QTest::qWaitForWindowActive(form.get()));
    QTest::keyClick(form.get(), Qt::Key_O, Qt::ControlModifier);
    QCOMPARE(FDialogs.Messages.size(), std::size_t{1});
    QCOMPARE(FDialogs.Messages[0].Text, message);
    QVERIFY(Shown(*form) == before);
    QCOMPARE(form->Image().ImageWidth, 640);
    // The earlier division still saves.
    SetText(*form, "editImagePath", QString::fromStdString(FDir->File("out")));
    Click(*form, "btnSave");
    QCOMPARE(LastMessage(), QString("The fragments were successfully saved."));
  }

  void droppedPictureOpens() {
    auto form = Start(FPhoto);
    Click(*form, "btnPreview");
    const QString other = QString::fromStdString(FDir->File("dropped.jpg"));
    testing::WriteJPEG(other.toStdString(), testing::PhotoLike(200, 300));
    // Two files at once, or none that is local, are not taken.
    QVERIFY(!Drop(*form, {other, FPhoto}));
    QCOMPARE(form->Image().Breakup.RowCount(), 4);
    QVERIFY(Drop(*form, {other}));
    QVERIFY(FDialogs.Messages.empty());
    CompareFacts(*form, other, "200x300 pixels");
    if (QTest::currentTestFailed()) return;
    QCOMPARE(form->Image().Breakup.RowCount(), 0);
    // A dropped file that fails is shown and changes nothing.
    testing::WriteBytes(FDir->File("bad.jpg"), {'n', 'o'});
    const TShown before = Shown(*form);
    Drop(*form, {QString::fromStdString(FDir->File("bad.jpg"))});
    QCOMPARE(LastMessage(), QString("JPEG error #53."));
    QVERIFY(Shown(*form) == before);
  }

  void errorBoxCarriesTheLibrarysExplanation() {
    auto form = Start(std::nullopt);
    FDialogs.Messages.clear();
    form->ShowException(Exception("JPEG error #53", "Not a JPEG file: starts with 0x6e 0x6f"));
    form->ShowException(EJPEG(53));
    form->ShowException(std::runtime_error("plain"));
    QCOMPARE(FDialogs.Messages.size(), std::size_t{3});
    QCOMPARE(FDialogs.Messages[0].Text, QString("JPEG error #53."));
    QCOMPARE(FDialogs.Messages[0].Detail, QString("Not a JPEG file: starts with 0x6e 0x6f"));
    QCOMPARE(FDialogs.Messages[0].Caption, QString("Norvel Crumb"));
    QCOMPARE(FDialogs.Messages[1].Detail, QString());
    QCOMPARE(FDialogs.Messages[2].Text, QString("plain."));
    QCOMPARE(FDialogs.Messages[2].Detail, QString());
  }

  void shortSaveShowsNoProgress() {
    auto form = Start(FPhoto);
    TShowCounter counter;
    qApp->installEventFilter(&counter);
    SetText(*form, "editImagePath", QString::fromStdString(FDir->File("out")));
    Click(*form, "btnPreview");
    Click(*form, "btnSave");
    qApp->removeEventFilter(&counter);
    QCOMPARE(LastMessage(), QString("The fragments were successfully saved."));
    QCOMPARE(counter.Shown, 0);
  }

  // A shown window with a division of chunks cells, saving into out, each file slowed.
  std::unique_ptr<TfrmMain> StartSlowSave(const std::string& out, const char* chunks) {
    auto form = Start(FPhoto);
    form->show();
    SetText(*form, "editImagePath", QString::fromStdString(out));
    SetText(*form, "editChunkCount", chunks);
    Click(*form, "btnPreview");
    FileSeam::SlowWritesBy(150000);
    return form;
  }

  void slowSaveShowsProgressAndFinishes() {
    const std::string out = FDir->File("out");
    auto form = StartSlowSave(out, "8");
    // The event loop runs during the save: timers fire and the window can repaint.
    int ticks = 0;
    QString label;
    QTimer tick;
    connect(&tick, &QTimer::timeout, [&] {
      ++ticks;
      if (auto* dialog = form->findChild<QProgressDialog*>("SaveProgress"); dialog && dialog->isVisible())
        label = dialog->labelText();
    });
    tick.start(50);
    FDialogs.Messages.clear();
    Click(*form, "btnSave");
    QCOMPARE(LastMessage(), QString("The fragments were successfully saved."));
    QVERIFY(ticks >= 10);
    QVERIFY2(label.startsWith("Writing fragments: ") && label.endsWith(" of 8"), qPrintable(label));
    QCOMPARE(FilesIn(out), std::size_t{8});
    QVERIFY(!Find<QPlainTextEdit>(*form, "memoHTML")->toPlainText().isEmpty());
  }

  void cancelStopsAfterTheFragmentBeingWritten() {
    const std::string out = FDir->File("out");
    auto form = StartSlowSave(out, "16");
    Find<QPlainTextEdit>(*form, "memoHTML")->setPlainText("old");
    bool pressed = false;
    QTimer tick;
    connect(&tick, &QTimer::timeout, [&] {
      auto* dialog = form->findChild<QProgressDialog*>("SaveProgress");
      if (pressed || !dialog || !dialog->isVisible() || dialog->value() < 2) return;
      QVERIFY(dialog->isModal());
      pressed = true;
      QPushButton* cancel = dialog->findChild<QPushButton*>();
      QVERIFY(cancel && cancel->text().contains("Cancel"));
      cancel->click();
    });
    tick.start(20);
    FDialogs.Messages.clear();
    Click(*form, "btnSave");
    QVERIFY(pressed);
    QCOMPARE(FDialogs.Messages.size(), std::size_t{1});
    const QString text = FDialogs.Messages[0].Text;
    QCOMPARE(FDialogs.Messages[0].Caption, QString("Information"));
    QVERIFY(FDialogs.Messages[0].Kind == TMessageKind::Information);
    QVERIFY2(text.startsWith("Saving was cancelled after ") && text.endsWith(" of 16 fragments."), qPrintable(text));
    const int written = text.section(' ', 4, 4).toInt();
    QVERIFY(written >= 2 && written < 16);
    // The files so far stay, each whole; nothing after them, no leftover of another kind.
    QCOMPARE(FilesIn(out), static_cast<std::size_t>(written));
    for (const auto& entry : std::filesystem::directory_iterator(out)) QVERIFY(CompleteJPEG(entry.path()));
    QCOMPARE(Find<QPlainTextEdit>(*form, "memoHTML")->toPlainText(), QString());
    // The window works on afterwards.
    FileSeam::SlowWritesBy(0);
    Click(*form, "btnSave");
    QCOMPARE(LastMessage(), QString("The fragments were successfully saved."));
  }

  // Run at the offscreen platform's ratio 1 and again under QT_SCALE_FACTOR=2.
  void previewAtTheScreensDensity() {
    auto form = Start(FPhoto);
    const qreal ratio = form->devicePixelRatioF();
    if (qEnvironmentVariableIsSet("MOSAICER_EXPECT_RATIO"))
      QCOMPARE(ratio, qEnvironmentVariable("MOSAICER_EXPECT_RATIO").toDouble());
    const TBitmap32& shown = Find<TImageControl>(*form, "imgImage")->PictureBitmap();
    const std::int32_t box = static_cast<std::int32_t>(std::lround(191 * ratio));
    QCOMPARE(shown.Width(), box);
    QCOMPARE(shown.Height(), box);
    QCOMPARE(Find<QWidget>(*form, "imgImage")->size(), QSize(191, 191));
    // The same drawing as the document gives for a box of that size.
    TMCImage image;
    image.LoadFromFile(FPhoto.toStdString());
    TBitmap32 expected;
    expected.SetSize(box, box);
    expected.Fill(Color32(255, 255, 255));
    image.DrawPreview(expected.Canvas(), box, box, true);
    QVERIFY(std::equal(shown.Bits(), shown.Bits() + std::size_t(box) * std::size_t(box), expected.Bits()));
    const QPixmap banner = Find<QLabel>(*form, "Image1")->pixmap();
    QCOMPARE(banner.deviceIndependentSize(), QSizeF(144, 45));
    QCOMPARE(banner.devicePixelRatio(), ratio > 1 ? 2.0 : 1.0);
  }

  void commandLine_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("display");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
    const QString desktop = "mosaicer needs a graphical desktop. Without one, mosaicer-cli does the same work from a shell.\n";
    QTest::newRow("help without a display") << QStringList{"--help"} << false << 0 << "Usage: mosaicer [PICTURE]\n" << "";
    QTest::newRow("version without a display") << QStringList{"--version"} << false << 0 << "mosaicer 0.1.0\n" << "";
    QTest::newRow("unknown option") << QStringList{"--verbose"} << true << 2 << "" << "unexpected argument \"--verbose\"";
    QTest::newRow("short option") << QStringList{"-h"} << true << 2 << "" << "unexpected argument \"-h\"";
    QTest::newRow("two pictures") << QStringList{"a.jpg", "b.jpg"} << true << 2 << "" << "unexpected argument \"b.jpg\"";
    QTest::newRow("help with a picture") << QStringList{"a.jpg", "--help"} << true << 2 << "" << "Usage: mosaicer";
    QTest::newRow("no display") << QStringList{} << false << 1 << "" << desktop;
    QTest::newRow("no display, with a picture") << QStringList{"a.jpg"} << false << 1 << "" << desktop;
  }
  void commandLine() {
    QFETCH(QStringList, arguments);
    QFETCH(bool, display);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(name);
    // A usage error must come before any display is needed, so a bogus one is given.
    if (display) env.insert("DISPLAY", ":9999");
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(FDir->File("config")));
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(QString::fromStdString(FDir->Path()));
    process.start(MOSAICER_BINARY, arguments);
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), exitCode);
    const QString stdoutText = QString::fromLocal8Bit(process.readAllStandardOutput());
    const QString stderrText = QString::fromLocal8Bit(process.readAllStandardError());
    if (out.isEmpty()) QCOMPARE(stdoutText, QString());
    else QVERIFY2(stdoutText.startsWith(out), qPrintable(stdoutText));
    if (err.isEmpty()) QCOMPARE(stderrText, QString());
    else QVERIFY2(stderrText.contains(err), qPrintable(stderrText));
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
    Click(*form, "btnPreview");
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
