#pragma once

#include <QString>
#include <functional>
#include <optional>

class QWidget;

namespace ombrix {

// The window's blocking questions to the operator, each replaceable so that tests never block:
// the "Info" message box, the file dialogs, the folder chooser and a number to type. The defaults
// show Qt's dialogs.
struct WindowHooks {
  // A message box with the caption "Info", the information icon and text.
  std::function<void(QWidget* parent, const QString& text)> info;
  // A file to open: empty when cancelled.
  std::function<QString(QWidget* parent, const QString& caption, const QString& filter)> openFile;
  // A file to save, offered under defaultName: empty when cancelled. The type the operator chose
  // of those in filter ("PNG File (*.png)") goes to *chosenType; left empty, the first.
  std::function<QString(QWidget* parent, const QString& caption, const QString& defaultName,
                        const QString& filter, QString* chosenType)>
      saveFile;
  // A folder: empty when cancelled.
  std::function<QString(QWidget* parent, const QString& title)> folder;
  // A whole number from low to high, offered as value: nullopt when cancelled.
  std::function<std::optional<int>(QWidget* parent, const QString& title, const QString& label,
                                   int value, int low, int high)>
      number;
  // Where the default file dialogs open (empty: the working folder); the window sets it before
  // it asks.
  QString startFolder;
};

// The hooks in use (the defaults until a test replaces them).
WindowHooks& Hooks();
// Puts the defaults back.
void ResetHooks();

}  // namespace ombrix
