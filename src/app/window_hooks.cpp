#include "app/window_hooks.h"

#include <QFileDialog>
#include <QInputDialog>
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
  hooks.number = [](QWidget* parent, const QString& title, const QString& label, int value, int low,
                    int high) -> std::optional<int> {
    bool ok = false;
    const int n = QInputDialog::getInt(parent, title, label, value, low, high, 1, &ok);
    return ok ? std::optional<int>(n) : std::nullopt;
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
