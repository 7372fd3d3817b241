// The dialogs and message boxes the window uses, behind one small interface so that tests can
// answer them.
#pragma once

#include <QString>

#include <optional>

class QWidget;

namespace mosaicer {

enum class TMessageKind { Error, Information };

class TDialogs {
public:
  virtual ~TDialogs() = default;

  // The file-open dialog; filter as "Description|*.a;*.b|Description|*.*". Empty initialFolder
  // keeps the dialog's own default. Returns the chosen path, or nothing when cancelled.
  virtual std::optional<QString> OpenFile(QWidget* parent, const QString& filter, const QString& initialFolder) = 0;

  // The folder dialog, on no preselected folder, offering folders only.
  virtual std::optional<QString> SelectFolder(QWidget* parent) = 0;

  // A modal message with one OK button; a non-empty detail (a library's own explanation) is
  // shown below the text.
  virtual void ShowMessage(QWidget* parent, TMessageKind kind, const QString& caption, const QString& text,
                           const QString& detail) = 0;
};

// The real thing: Qt's own dialogs.
class TQtDialogs : public TDialogs {
public:
  std::optional<QString> OpenFile(QWidget* parent, const QString& filter, const QString& initialFolder) override;
  std::optional<QString> SelectFolder(QWidget* parent) override;
  void ShowMessage(QWidget* parent, TMessageKind kind, const QString& caption, const QString& text,
                   const QString& detail) override;
};

// "A|b;c|D|e" as Qt's name filters: "A (b c)" and "D (e)".
QStringList NameFiltersFrom(const QString& filter);

}  // namespace mosaicer
