#include "app/window_hooks.h"

#include <QFileDialog>
#include <QMessageBox>

namespace ombrix {
namespace {

WindowHooks DefaultHooks() {
  WindowHooks hooks;
  hooks.info = [](QWidget* parent, const QString& text) {
    QMessageBox::information(parent, QStringLiteral("Info"), text);
  };
  hooks.openFile = [](QWidget* parent, const QString& caption, const QString& filter) {
    return QFileDialog::getOpenFileName(parent, caption, Hooks().startFolder, filter);
  };
  hooks.saveFile = [](QWidget* parent, const QString& caption, const QString& defaultName,
                      const QString& filter, QString* chosenType) {
    const QString name =
        Hooks().startFolder.isEmpty() ? defaultName : Hooks().startFolder + '/' + defaultName;
    return QFileDialog::getSaveFileName(parent, caption, name, filter, chosenType);
  };
  hooks.folder = [](QWidget* parent, const QString& title) {
    return QFileDialog::getExistingDirectory(parent, title, Hooks().startFolder);
  };
  return hooks;
}

}  // namespace

WindowHooks& Hooks() {
  static WindowHooks hooks = DefaultHooks();
  return hooks;
}

void ResetHooks() {
  Hooks() = DefaultHooks();
}

}  // namespace ombrix
