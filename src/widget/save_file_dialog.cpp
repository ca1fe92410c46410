#include "vistel/widget/save_file_dialog.h"

#include <QFileDialog>

namespace vistel {

namespace {

QString text(std::string_view s) {
  return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

}  // namespace

QStringList qtNameFilters(std::string_view filter) {
  const QStringList fields = text(filter).split(QLatin1Char('|'));
  QStringList filters;
  for (qsizetype i = 0; i + 1 < fields.size(); i += 2) {
    QStringList patterns = fields[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (QString& p : patterns) p = p.trimmed();
    patterns.removeAll(QString());
    if (patterns.isEmpty()) continue;
    filters << QStringLiteral("%1 (%2)").arg(fields[i].trimmed(), patterns.join(QLatin1Char(' ')));
  }
  return filters;
}

void configureSaveFileDialog(QFileDialog& dialog, const HostUi::SaveFileRequest& request) {
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setDefaultSuffix(text(request.defaultExtension));
  const QStringList filters = qtNameFilters(request.filter);
  if (!filters.isEmpty()) dialog.setNameFilters(filters);
  dialog.setOption(QFileDialog::DontConfirmOverwrite, !request.confirmOverwrite);
  if (!request.initialName.empty()) dialog.selectFile(text(request.initialName));
}

void configureOpenFileDialog(QFileDialog& dialog, const HostUi::OpenFileRequest& request) {
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  const QStringList filters = qtNameFilters(request.filter);
  if (!filters.isEmpty()) dialog.setNameFilters(filters);
}

}  // namespace vistel
