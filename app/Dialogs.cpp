#include "app/Dialogs.h"

#include <QFileDialog>
#include <QMessageBox>

namespace mosaicer {

QStringList NameFiltersFrom(const QString& filter) {
  const QStringList parts = filter.split('|');
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString patterns = parts[i + 1];
    patterns.replace(';', ' ');
    // Qt shows the patterns of an entry from the text in its last brackets; the description
    // already lists them for the reader, so the patterns go in a bracket pair of their own.
    filters << parts[i] + " (" + patterns + ")";
  }
  return filters;
}

std::optional<QString> TQtDialogs::OpenFile(QWidget* parent, const QString& filter, const QString& initialFolder) {
  QFileDialog dialog(parent);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setNameFilters(NameFiltersFrom(filter));
  dialog.setOption(QFileDialog::HideNameFilterDetails);  // show each description as written
  if (!initialFolder.isEmpty()) dialog.setDirectory(initialFolder);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().first();
}

std::optional<QString> TQtDialogs::SelectFolder(QWidget* parent) {
  const QString folder = QFileDialog::getExistingDirectory(parent, QString(), QString(), QFileDialog::ShowDirsOnly);
  if (folder.isEmpty()) return std::nullopt;
  return folder;
}

void TQtDialogs::ShowMessage(QWidget* parent, TMessageKind kind, const QString& caption, const QString& text,
                             const QString& detail) {
  QMessageBox box(kind == TMessageKind::Error ? QMessageBox::Critical : QMessageBox::Information, caption, text,
                  QMessageBox::Ok, parent);
  // Messages hold paths and library texts, never markup.
  box.setTextFormat(Qt::PlainText);
  if (!detail.isEmpty()) box.setInformativeText(detail);
  box.exec();
}

}  // namespace mosaicer
